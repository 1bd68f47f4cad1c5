// Shared helpers of the VISA-COM provider tests.
#pragma once

#include "io/BuiltInProvider.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace korvane::visacom::testing {

// The description the last failing call left in the thread's error information.
inline std::string LastErrorText() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return {};
  Bstr text;
  info->GetDescription(text.Receive());
  return text.Narrow();
}

inline std::string ReadBytes(IMessage* m, LONG count, HRESULT& hr) {
  SafeArrayPtr sa;
  hr = m->Read(count, sa.Receive());
  if (FAILED(hr)) {
    EXPECT_EQ(sa.get(), nullptr) << "a failed read must not hand out an array";
    return {};
  }
  SafeArrayAccess<BYTE> data(sa.get());
  EXPECT_TRUE(data.ok());
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

inline HRESULT WriteBytes(IMessage* m, std::string_view bytes, LONG* written = nullptr) {
  SafeArrayPtr sa(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  {
    SafeArrayAccess<BYTE> data(sa.get());
    if (!data.ok()) return data.hr();
    std::copy(bytes.begin(), bytes.end(), data.data());
  }
  LONG ret = 0;
  SAFEARRAY* psa = sa.get();
  HRESULT hr = m->Write(&psa, static_cast<LONG>(bytes.size()), &ret);
  if (written) *written = ret;
  return hr;
}

// Registers the built-in provider and creates its resource manager the way the I/O layer does.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.hr()));
    ASSERT_EQ(korvane::RegisterBuiltInProvider(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                               IID_IResourceManager, rm_.ReceiveVoid()),
              S_OK);
  }

  // Opens a message session with the settings the I/O layer gives SOCKET sessions.
  ComPtr<IMessage> Open(const std::string& resource, LONG timeoutMs = 2000) {
    ComPtr<IVisaSession> session;
    HRESULT hr = rm_->Open(Bstr(resource), NO_LOCK, 2000, Bstr(std::string_view{}), session.Receive());
    EXPECT_EQ(hr, S_OK) << LastErrorText();
    ComPtr<IMessage> message;
    if (FAILED(hr) || FAILED(session.As(message))) return {};
    EXPECT_EQ(message->put_Timeout(timeoutMs), S_OK);
    EXPECT_EQ(message->put_TerminationCharacterEnabled(VARIANT_TRUE), S_OK);
    return message;
  }

  ComInit com_;
  ComPtr<IResourceManager> rm_;
};

}  // namespace korvane::visacom::testing
