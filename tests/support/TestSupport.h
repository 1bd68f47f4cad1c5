// Helpers shared by the core tests.
#pragma once

#include "base/CallContext.h"

#include <korvane/ComHelpers.h>

#include <gtest/gtest.h>

#include <string>

namespace korvane::test {

// The thread's current error information, taken (and so cleared) in one go.
struct ErrorInfoSnapshot {
  bool present = false;
  GUID guid = GUID_NULL;
  std::string source, description, helpFile;
  DWORD helpContext = 0;
};

inline ErrorInfoSnapshot TakeErrorInfo() {
  ErrorInfoSnapshot s;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return s;
  s.present = true;
  info->GetGUID(&s.guid);
  Bstr b;
  if (SUCCEEDED(info->GetSource(b.Receive()))) s.source = b.Narrow();
  if (SUCCEEDED(info->GetDescription(b.Receive()))) s.description = b.Narrow();
  if (SUCCEEDED(info->GetHelpFile(b.Receive()))) s.helpFile = b.Narrow();
  info->GetHelpContext(&s.helpContext);
  return s;
}

inline void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

// The interface I of an object that must offer it.
template <typename I>
ComPtr<I> Query(IUnknown* p) {
  ComPtr<I> out;
  EXPECT_EQ(S_OK, p->QueryInterface(IidOf<I>, out.ReceiveVoid()));
  return out;
}

// A call-context provider on its own, for testing the reporter without a session.
class TestCallContext : public ICallContextProvider {
 public:
  HRESULT PushCallContext(const CMethodInfo* info) override { return stack_.Push(info); }
  void PopCallContext() override { stack_.Pop(); }
  const CMethodInfo* CurrentCallContext() override { return stack_.Current(); }

 private:
  CriticalSection lock_;
  CCallContext stack_{lock_};
};

}  // namespace korvane::test
