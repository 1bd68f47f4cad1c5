#include "ivic/CopyOut.h"
#include "ivic/SessionFrame.h"
#include "ivic/SessionStore.h"
#include "ivic/StatusTables.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" int KorvaneHeaderCheckC(void);

using namespace korvane;
using namespace korvane::ivic;

namespace {

void RaiseErrorInfo(const OLECHAR* text) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.Receive()));
  create->SetDescription(const_cast<LPOLESTR>(text));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, create.As(info));
  ASSERT_EQ(S_OK, SetErrorInfo(0, info.get()));
}

std::string ThreadErrorText(ViStatus* code) {
  char buf[256] = {};
  IviSession_GetError(VI_NULL, sizeof buf, code, buf);
  return buf;
}

// A free-threaded object standing in for the driver's root.
class FakeDriver final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // owned by the test
  ULONG Refs() const { return refs_; }

 private:
  std::atomic<ULONG> refs_{1};
};

class IvicFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, EnsureThreadCom());
    SetErrorInfo(0, nullptr);
    IviSession_ClearError(VI_NULL);
  }
};

}  // namespace

TEST(IvicHeader, CompilesAsCWithTheStandardTypeSizes) { EXPECT_EQ(0, KorvaneHeaderCheckC()); }

TEST_F(IvicFrame, HResultMapEndsOfEachRunAndUnmappedCodes) {
  const std::pair<uint32_t, uint32_t> rows[] = {
      {0x80047000, 0xBFFA0000}, {0x80047004, 0xBFFA0004}, {0x8004700B, 0xBFFA000B}, {0x80047013, 0xBFFA0013},
      {0x8004701D, 0xBFFA001D}, {0x80047044, 0xBFFA0044}, {0x8004704C, 0xBFFA004C}, {0x80047056, 0xBFFA0056},
      {0x80047059, 0xBFFA0059}, {0x8004705B, 0xBFFA005B}, {0x80047067, 0xBFFA0067}, {0x80042004, 0xBFFA2004},
      {0x800440DC, 0xBFFA40DC}, {0x8004420E, 0xBFFA420E}, {0x8004421E, 0xBFFA421E}, {0x00047065, 0x3FFA0065},
      {0x00047069, 0x3FFA0069}, {0x00042001, 0x3FFA2001}};
  for (auto [hr, status] : rows) EXPECT_EQ(static_cast<ViStatus>(status), MapHResult(static_cast<HRESULT>(hr))) << hr;
  // Gaps between the runs and codes of other facilities are not mapped, whatever their sign.
  for (uint32_t hr : {0x80047005u, 0x8004705Au, 0x80047068u, 0x80044213u, 0x80042005u, 0x00047064u, 0x00042002u,
                      0x80070057u, 0x00000001u})
    EXPECT_EQ(KORVANE_ERROR_UNMAPPED, MapHResult(static_cast<HRESULT>(hr))) << hr;
  EXPECT_EQ(VI_SUCCESS, MapHResult(S_OK));
}

TEST_F(IvicFrame, ToViStatusStoresTheComDescriptionOnlyWhenThereIsOne) {
  RaiseErrorInfo(OLESTR("Korvane: bad argument."));
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, ToViStatus(VI_NULL, E_INVALIDARG));
  ViStatus code = 0;
  EXPECT_EQ("Korvane: bad argument.", ThreadErrorText(&code));
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, code);

  EXPECT_EQ(IVI_ERROR_RESET_FAILED, ToViStatus(VI_NULL, static_cast<HRESULT>(0x8004705F)));
  EXPECT_EQ("", ThreadErrorText(&code)) << "no error information: nothing stored";
  EXPECT_EQ(VI_SUCCESS, code);

  RaiseErrorInfo(OLESTR("stays with the thread"));
  EXPECT_EQ(VI_SUCCESS, ToViStatus(VI_NULL, S_OK));
  EXPECT_EQ("", ThreadErrorText(&code)) << "success touches nothing";
  SetErrorInfo(0, nullptr);
}

TEST_F(IvicFrame, StatusMessagesAreStoredUnformatted) {
  EXPECT_STREQ("Null pointer passed for method %1, parameter %2.", StatusMessage(IVI_ERROR_NULL_POINTER));
  EXPECT_STREQ("Success.", StatusMessage(VI_SUCCESS));
  EXPECT_STREQ("Bad Pattern ", StatusMessage(KORVANE_ERROR_BAD_PATTERN));
  EXPECT_STREQ("Instrument error detected.  Use ErrorQuery() to determine the error(s).",
               StatusMessage(IVI_ERROR_INSTRUMENT_STATUS));
  EXPECT_STREQ("Invalid session handle.", StatusMessage(IVI_ERROR_INVALID_SESSION_HANDLE));
  EXPECT_STREQ("One of the elements in the waveform array is invalid.",
               StatusMessage(IVISCOPE_WARN_INVALID_WFM_ELEMENT));
  EXPECT_EQ(nullptr, StatusMessage(KORVANE_ERROR_UNMAPPED));
  EXPECT_EQ(nullptr, StatusMessage(IVI_ERROR_CHANNEL_NAME_REQUIRED + 1));
}

TEST_F(IvicFrame, CopyStringOutSizes) {
  Bstr twenty(OLESTR("abcdefghijklmnopqrst"));
  Bstr ten(OLESTR("0123456789"));
  char buf[32];

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(21, CopyStringOut(twenty.get(), buf, 10));
  EXPECT_STREQ("abcdefghi", buf);
  EXPECT_EQ('#', buf[10]) << "nothing written past the buffer";

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(21, CopyStringOut(twenty.get(), buf, 0));
  EXPECT_EQ('#', buf[0]);
  EXPECT_EQ(21, CopyStringOut(twenty.get(), nullptr, 0));

  EXPECT_EQ(VI_SUCCESS, CopyStringOut(twenty.get(), buf, -1));
  EXPECT_STREQ("abcdefghijklmnopqrst", buf);

  EXPECT_EQ(11, CopyStringOut(ten.get(), buf, 10));
  EXPECT_STREQ("012345678", buf);
  EXPECT_EQ(VI_SUCCESS, CopyStringOut(ten.get(), buf, 11));
  EXPECT_STREQ("0123456789", buf);

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(VI_SUCCESS, CopyStringOut(BSTR(nullptr), buf, 5));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(1, CopyStringOut(BSTR(nullptr), buf, 0));
  EXPECT_EQ(21, CopyStringOut(twenty.get(), nullptr, kMessageBufferSize)) << "no buffer: the size, no write";
}

TEST_F(IvicFrame, CopyArrayOutCutsToTheCallersCount) {
  SafeArrayPtr points(SafeArrayCreateVector(VT_R8, 0, 5));
  {
    SafeArrayAccess<double> a(points.get());
    ASSERT_TRUE(a.ok());
    for (int i = 0; i < 5; ++i) a.data()[i] = i * 1.5;
  }
  double dest[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  ViInt32 actual = -7;
  EXPECT_EQ(VI_SUCCESS, CopyArrayOut(points.get(), 3, dest, &actual));
  EXPECT_EQ(3, actual);
  EXPECT_EQ(3.0, dest[2]);
  EXPECT_EQ(-1, dest[3]);
  EXPECT_EQ(VI_SUCCESS, CopyArrayOut(points.get(), 8, dest, &actual));
  EXPECT_EQ(5, actual);
  EXPECT_EQ(6.0, dest[4]);

  EXPECT_EQ(VI_SUCCESS, CopyArrayOut(nullptr, 8, dest, &actual));
  EXPECT_EQ(0, actual);
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, CopyArrayOut(points.get(), 8, static_cast<double*>(nullptr), &actual));

  SafeArrayPtr bytes(SafeArrayCreateVector(VT_UI1, 0, 4));
  ViByte b[4];
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, CopyArrayOut(bytes.get(), 4, dest, &actual)) << "element size differs";
  EXPECT_EQ(VI_SUCCESS, CopyArrayOut(bytes.get(), 4, b, nullptr));
}

TEST(IvicThreadCom, JoinsTheMultithreadedApartmentOnceAndLeavesOthersAlone) {
  std::thread([] {
    ASSERT_EQ(S_OK, EnsureThreadCom());
    ASSERT_EQ(S_OK, EnsureThreadCom());
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) << "the thread is in the MTA";
  }).join();
  std::thread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_OK, EnsureThreadCom()) << "a thread in another apartment is accepted as it is";
    CoUninitialize();
  }).join();
  std::thread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_OK, EnsureThreadCom());
    CoUninitialize();
    // Had EnsureThreadCom kept a count of its own, the thread would still be in the MTA.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(S_OK, hr);
    if (SUCCEEDED(hr)) CoUninitialize();
  }).join();
}

TEST_F(IvicFrame, SessionDriverFromManyThreadsThroughTheTable) {
  FakeDriver driver;
  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, IviSession_New(&vi));
  ASSERT_EQ(VI_SUCCESS, RegisterSessionDriver(vi, &driver));
  EXPECT_GT(driver.Refs(), 1u) << "the table holds a reference";

  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ComPtr<IUnknown> p;
        if (GetSessionDriver(vi, p) == VI_SUCCESS && p.get() == static_cast<IUnknown*>(&driver)) ++good;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(800, good.load());

  // The fetch waits for a caller that holds the session lock, and only the fetch does.
  ViBoolean has = VI_FALSE;
  ASSERT_EQ(VI_SUCCESS, IviSession_Lock(vi, &has));
  std::atomic<bool> fetched{false};
  std::thread waiter([&] {
    ComPtr<IUnknown> p;
    fetched = GetSessionDriver(vi, p) == VI_SUCCESS;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fetched);
  IviSession_Unlock(vi, &has);
  waiter.join();
  EXPECT_TRUE(fetched);

  ASSERT_EQ(VI_SUCCESS, RevokeSessionDriver(vi));
  EXPECT_EQ(1u, driver.Refs()) << "every reference taken was given back";
  ComPtr<IUnknown> p;
  EXPECT_EQ(IVI_ERROR_CANNOT_RECOVER, GetSessionDriver(vi, p));
  ViStatus code = 0;
  char text[128] = {};
  IviSession_GetError(vi, sizeof text, &code, text);
  EXPECT_STREQ("Could not retrieve pointer to IVI-COM driver from global interface table.", text);

  ASSERT_EQ(VI_SUCCESS, IviSession_Dispose(vi));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, GetSessionDriver(vi, p));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, GetSessionDriver(VI_NULL, p));
}
