// The session-level C functions on simulated sessions: open, the utility calls, errors through
// Korvane_GetError, close and the handle afterwards, several threads on one session.
#include <Korvane.h>

#include "com/Module.h"
#include "ivic/SessionFrame.h"
#include "ivic/SessionStore.h"

#include <korvane/KorvaneCom.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <korvane/KorvaneVersion.h>

namespace {

constexpr const char* kSimulated = "Simulate=true, DriverSetup= Model=DSO-BR100";
constexpr const char* kResource = "TCPIP0::192.0.2.7::INSTR";

struct Error {
  ViStatus code = 12345;
  std::string text;
};

Error TakeError(ViSession vi) {
  Error e;
  char buf[512];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(VI_SUCCESS, Korvane_GetError(vi, &e.code, sizeof buf, buf));
  e.text.assign(buf, strnlen(buf, sizeof buf));
  return e;
}

class IvicSession : public ::testing::Test {
 protected:
  void SetUp() override {
    Korvane_ClearError(VI_NULL);
    liveBefore_ = korvane::ivic::LiveSessionCount();
    ASSERT_EQ(VI_SUCCESS, Korvane_InitWithOptions(const_cast<ViRsrc>(kResource), VI_TRUE, VI_TRUE, kSimulated, &vi_))
        << TakeError(VI_NULL).text;
    ASSERT_NE(VI_NULL, vi_);
  }
  void TearDown() override {
    if (vi_ != VI_NULL) {
      EXPECT_EQ(VI_SUCCESS, Korvane_close(vi_));
    }
    EXPECT_EQ(liveBefore_, korvane::ivic::LiveSessionCount()) << "a session was left behind";
  }

  ViSession vi_ = VI_NULL;
  std::size_t liveBefore_ = 0;
};

}  // namespace

TEST_F(IvicSession, UtilityCallsOnASimulatedSession) {
  ViInt32 code = -1;
  char message[256] = "stale";
  EXPECT_EQ(VI_SUCCESS, Korvane_error_query(vi_, &code, message));
  EXPECT_EQ(0, code);
  EXPECT_STREQ("No error.", message);
  // No buffer: the size the message needs.
  EXPECT_EQ(10, Korvane_error_query(vi_, &code, nullptr));

  ViInt16 result = -1;
  EXPECT_EQ(VI_SUCCESS, Korvane_self_test(vi_, &result, message));
  EXPECT_EQ(0, result);
  EXPECT_STREQ("Selftest passed", message);

  char driverRev[256] = "", instrRev[256] = "";
  EXPECT_EQ(VI_SUCCESS, Korvane_revision_query(vi_, driverRev, instrRev));
  EXPECT_STREQ(KORVANE_DRIVER_REVISION, driverRev);
  EXPECT_STREQ("Sim" KORVANE_DRIVER_REVISION, instrRev);

  EXPECT_EQ(VI_SUCCESS, Korvane_reset(vi_));
  EXPECT_EQ(VI_SUCCESS, Korvane_ResetWithDefaults(vi_));
  EXPECT_EQ(VI_SUCCESS, Korvane_Disable(vi_));
  EXPECT_EQ(VI_SUCCESS, Korvane_InvalidateAllAttributes(vi_));

  // The driver records no coercions: the COM error and its description reach the session.
  char record[64] = "untouched";
  EXPECT_EQ(IVI_ERROR_FUNCTION_NOT_SUPPORTED, Korvane_GetNextCoercionRecord(vi_, sizeof record, record));
  EXPECT_STREQ("untouched", record) << "no output on failure";
  const Error e = TakeError(vi_);
  EXPECT_EQ(IVI_ERROR_FUNCTION_NOT_SUPPORTED, e.code);
  EXPECT_NE(std::string::npos, e.text.find("GetNextCoercionRecord")) << e.text;
}

TEST_F(IvicSession, NullNumericOutputsAndTheErrorBufferProtocol) {
  char message[256];
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, Korvane_error_query(vi_, nullptr, message));
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, Korvane_self_test(vi_, nullptr, message));

  // Only the first error is kept until it is read.
  const std::string first = "Parameter ErrorCode is VI_NULL.";
  ViStatus code = 0;
  EXPECT_EQ(static_cast<ViStatus>(first.size() + 1), Korvane_GetError(vi_, &code, 0, nullptr)) << "size only";
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, code);
  char small[10];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(static_cast<ViStatus>(first.size() + 1), Korvane_GetError(vi_, &code, sizeof small, small));
  EXPECT_EQ(first.substr(0, 9), std::string(small)) << "cut to the buffer with its terminator";
  // Reading cleared it, on the session and on the thread.
  EXPECT_EQ(VI_SUCCESS, TakeError(vi_).code);

  EXPECT_EQ(IVI_ERROR_NULL_POINTER, Korvane_self_test(vi_, nullptr, message));
  EXPECT_EQ(VI_SUCCESS, Korvane_ClearError(vi_));
  const Error cleared = TakeError(vi_);
  EXPECT_EQ(VI_SUCCESS, cleared.code);
  EXPECT_EQ("", cleared.text);
}

TEST_F(IvicSession, CloseEndsTheHandle) {
  const ViSession vi = std::exchange(vi_, VI_NULL);
  ASSERT_EQ(liveBefore_ + 1, korvane::ivic::LiveSessionCount());
  EXPECT_EQ(VI_SUCCESS, Korvane_close(vi));
  EXPECT_EQ(liveBefore_, korvane::ivic::LiveSessionCount());
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, Korvane_close(vi));
  ViInt32 code = 0;
  char message[256];
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, Korvane_error_query(vi, &code, message));
}

// A lock taken with callerHasLock is taken once however often it is asked for; one taken without
// it counts. Closing with holds left ends them, and the object with them.
TEST_F(IvicSession, LockBalancesAndCloseEndsTheHoldsLeft) {
  const LONG objects = korvane::CKorvaneModule::LockCount();
  ViBoolean has = VI_FALSE;
  EXPECT_EQ(VI_SUCCESS, Korvane_LockSession(vi_, &has));
  EXPECT_EQ(VI_TRUE, has);
  EXPECT_EQ(VI_SUCCESS, Korvane_LockSession(vi_, &has));
  EXPECT_EQ(VI_SUCCESS, Korvane_UnlockSession(vi_, &has));
  EXPECT_EQ(VI_FALSE, has);
  EXPECT_FALSE(korvane::ivic::CallerHoldsLock(vi_)) << "a second lock with callerHasLock was counted";
  // Another thread's unlock releases nothing it does not hold (and does not wait for the holder).
  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, Korvane_InitWithOptions(const_cast<ViRsrc>(kResource), VI_TRUE, VI_TRUE, kSimulated, &vi));
  EXPECT_EQ(VI_SUCCESS, Korvane_LockSession(vi, VI_NULL));
  EXPECT_EQ(VI_SUCCESS, Korvane_LockSession(vi, VI_NULL));
  std::thread([&] { EXPECT_EQ(VI_SUCCESS, Korvane_UnlockSession(vi, VI_NULL)); }).join();
  EXPECT_TRUE(korvane::ivic::CallerHoldsLock(vi));
  EXPECT_EQ(VI_SUCCESS, Korvane_close(vi));
  EXPECT_EQ(objects, korvane::CKorvaneModule::LockCount()) << "a hold kept the closed session's object";
}

TEST_F(IvicSession, ManyThreadsShareOneSession) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ViInt32 code = -1;
        char message[256];
        ViInt16 result = -1;
        if (Korvane_error_query(vi_, &code, message) != VI_SUCCESS || code != 0) ++failures;
        if (Korvane_self_test(vi_, &result, message) != VI_SUCCESS || result != 0) ++failures;
        if (Korvane_reset(vi_) != VI_SUCCESS) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
}

TEST(IvicOpen, NullHandlePointerCreatesNothing) {
  const std::size_t live = korvane::ivic::LiveSessionCount();
  Korvane_ClearError(VI_NULL);
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, Korvane_init(const_cast<ViRsrc>(kResource), VI_FALSE, VI_FALSE, nullptr));
  EXPECT_EQ(IVI_ERROR_NULL_POINTER,
            Korvane_InitWithOptions(const_cast<ViRsrc>(kResource), VI_FALSE, VI_FALSE, kSimulated, nullptr));
  EXPECT_EQ(live, korvane::ivic::LiveSessionCount());
  EXPECT_EQ(VI_SUCCESS, TakeError(VI_NULL).code) << "no error is stored for it";
}

TEST(IvicOpen, FailedInitLeavesHandleZeroAndTheDescriptionOnThisThreadOnly) {
  const std::size_t live = korvane::ivic::LiveSessionCount();
  Korvane_ClearError(VI_NULL);
  ViSession vi = 77;
  // Not simulated, and no VISA resource of any kind by that name. The VISA failure has no IVI
  // code: it arrives unmapped, with the driver's description.
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, Korvane_init(const_cast<ViRsrc>("NOSUCH::nothing::here"), VI_TRUE, VI_FALSE, &vi));
  EXPECT_EQ(VI_NULL, vi);
  EXPECT_EQ(live, korvane::ivic::LiveSessionCount());

  Error other;
  std::thread([&] { other = TakeError(VI_NULL); }).join();
  EXPECT_EQ(VI_SUCCESS, other.code) << "handle 0 errors belong to the thread that had them";
  EXPECT_EQ("", other.text);

  const Error e = TakeError(VI_NULL);
  EXPECT_EQ(KORVANE_ERROR_UNMAPPED, e.code);
  EXPECT_EQ(0u, e.text.rfind("Korvane: I/O error: Failed to open VISA resource.", 0)) << e.text;

  // A null resource name is the driver's null-pointer error, not a crash.
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, Korvane_InitWithOptions(nullptr, VI_FALSE, VI_FALSE, kSimulated, &vi));
  EXPECT_EQ(VI_NULL, vi);
  EXPECT_EQ(live, korvane::ivic::LiveSessionCount());
  Korvane_ClearError(VI_NULL);
}

TEST(IvicOpen, ErrorMessageIsTheUnformattedTableText) {
  char message[256] = "stale";
  EXPECT_EQ(VI_SUCCESS, Korvane_error_message(VI_NULL, IVI_ERROR_NULL_POINTER, message));
  EXPECT_STREQ("Null pointer passed for method %1, parameter %2.", message);
  EXPECT_EQ(VI_SUCCESS, Korvane_error_message(12345, IVI_WARN_NSUP_SELF_TEST, message)) << "any handle";
  EXPECT_STREQ("Self test is not supported by this instrument.", message);
  EXPECT_EQ(VI_SUCCESS, Korvane_error_message(VI_NULL, IVI_ERROR_BASE + 0x7FF, message));
  EXPECT_STREQ("", message) << "a code without a text";
  EXPECT_EQ(9, Korvane_error_message(VI_NULL, VI_SUCCESS, nullptr)) << "no buffer: the size needed";
}

TEST(IvicOpen, HandleZeroGivesAFreshUninitialisedRoot) {
  using namespace korvane;
  ComPtr<IUnknown> first, second;
  ASSERT_EQ(VI_SUCCESS, ivic::GetSessionDriverOrNewRoot(VI_NULL, first));
  ASSERT_EQ(VI_SUCCESS, ivic::GetSessionDriverOrNewRoot(VI_NULL, second));
  EXPECT_NE(first.get(), second.get());
  ComPtr<IIviDriver> driver;
  ASSERT_EQ(S_OK, first.As(driver));
  VARIANT_BOOL initialized = VARIANT_TRUE;
  EXPECT_EQ(S_OK, driver->get_Initialized(&initialized));
  EXPECT_EQ(VARIANT_FALSE, initialized);
  ComPtr<IIviComponentIdentity> identity;
  ASSERT_EQ(S_OK, first.As(identity));
  Bstr revision;
  EXPECT_EQ(S_OK, identity->get_Revision(revision.Receive()));
  EXPECT_EQ(KORVANE_DRIVER_REVISION, revision.Narrow());
}
