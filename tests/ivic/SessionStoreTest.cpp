#include "ivic/SessionStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace korvane::ivic;

namespace {

struct ReadBack {
  ViStatus result;
  ViStatus code;
  std::string text;
};

ReadBack Read(ViSession vi, ViInt32 size = 256) {
  ReadBack r{};
  char buf[256];
  std::memset(buf, '#', sizeof buf);
  r.code = 12345;
  r.result = IviSession_GetError(vi, size, &r.code, buf);
  if (size != 0) r.text.assign(buf, strnlen(buf, sizeof buf));
  return r;
}

class SessionStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VI_SUCCESS, IviSession_New(&vi_));
    IviSession_ClearError(VI_NULL);
  }
  void TearDown() override { IviSession_Dispose(vi_); }
  ViSession vi_ = VI_NULL;
};

}  // namespace

TEST_F(SessionStore, HandlesAreDistinctNonZeroAndDeadAfterDispose) {
  ViSession other = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, IviSession_New(&other));
  EXPECT_NE(VI_NULL, vi_);
  EXPECT_NE(vi_, other);

  int token = 0;
  ASSERT_EQ(VI_SUCCESS, IviSession_SetDataPtr(other, &token));
  ViAddr data = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, IviSession_GetDataPtr(other, &data));
  EXPECT_EQ(&token, data);
  ASSERT_EQ(VI_SUCCESS, IviSession_GetDataPtr(vi_, &data));
  EXPECT_EQ(VI_NULL, data) << "a fresh session has no data";

  ASSERT_EQ(VI_SUCCESS, IviSession_Dispose(other));
  ViBoolean has = VI_FALSE;
  ViStatus code = 0;
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_Dispose(other));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_SetDataPtr(other, &token));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_GetDataPtr(other, &data));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_Lock(other, &has));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_Unlock(other, &has));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_GetError(other, 0, &code, nullptr));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_ClearError(other));
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_GetDataPtr(VI_NULL, &data));

  // An unknown handle still leaves the error with the thread.
  EXPECT_EQ(IVI_ERROR_INVALID_SESSION_HANDLE, IviSession_SetError(other, IVI_ERROR_RESET_FAILED, "gone"));
  auto r = Read(VI_NULL);
  EXPECT_EQ(IVI_ERROR_RESET_FAILED, r.code);
  EXPECT_EQ("gone", r.text);
}

TEST_F(SessionStore, GetErrorFollowsTheBufferProtocolAndClearsAfterReading) {
  ASSERT_EQ(VI_SUCCESS, IviSession_SetError(vi_, IVI_ERROR_NULL_POINTER, "0123456789abcdefghij"));

  ViStatus code = 0;
  EXPECT_EQ(21, IviSession_GetError(vi_, 0, &code, nullptr)) << "size 0 asks for the size";
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, code);

  auto r = Read(vi_, 10);  // too small: truncated, still the size needed, and read
  EXPECT_EQ(21, r.result);
  EXPECT_EQ("012345678", r.text);
  EXPECT_EQ(IVI_ERROR_NULL_POINTER, r.code);
  r = Read(vi_);
  EXPECT_EQ(VI_SUCCESS, r.result);
  EXPECT_EQ(VI_SUCCESS, r.code);
  EXPECT_EQ("", r.text);

  ASSERT_EQ(VI_SUCCESS, IviSession_SetError(vi_, IVI_ERROR_NULL_POINTER, "short"));
  r = Read(vi_, -1);
  EXPECT_EQ(VI_SUCCESS, r.result);
  EXPECT_EQ("short", r.text);

  ASSERT_EQ(VI_SUCCESS, IviSession_SetError(vi_, IVI_ERROR_NULL_POINTER, "x"));
  ASSERT_EQ(VI_SUCCESS, IviSession_ClearError(vi_));
  EXPECT_EQ(VI_SUCCESS, Read(vi_).code);
}

TEST_F(SessionStore, FirstErrorOutranksLaterOnesAndWarnings) {
  IviSession_SetError(vi_, IVI_WARN_NSUP_RESET, "warning");
  IviSession_SetError(vi_, IVI_ERROR_RESET_FAILED, "first error");
  IviSession_SetError(vi_, IVI_ERROR_ID_QUERY_FAILED, "second error");
  IviSession_SetError(vi_, VI_SUCCESS, "nothing");
  auto r = Read(vi_);
  EXPECT_EQ(IVI_ERROR_RESET_FAILED, r.code);
  EXPECT_EQ("first error", r.text);

  IviSession_SetError(vi_, IVI_WARN_NSUP_RESET, nullptr);
  IviSession_SetError(vi_, IVI_WARN_NSUP_RESET, "text filled in later");
  r = Read(vi_);
  EXPECT_EQ(IVI_WARN_NSUP_RESET, r.code);
  EXPECT_EQ("text filled in later", r.text);
}

TEST_F(SessionStore, HandleZeroErrorIsPerThreadAndSessionErrorsReachTheThread) {
  IviSession_SetError(VI_NULL, IVI_ERROR_CANNOT_RECOVER, "main thread");
  ReadBack other{};
  std::thread([&] { other = Read(VI_NULL); }).join();
  EXPECT_EQ(VI_SUCCESS, other.code) << "another thread sees none of this thread's error";
  EXPECT_EQ(IVI_ERROR_CANNOT_RECOVER, Read(VI_NULL).code);

  std::thread([&] { IviSession_SetError(vi_, KORVANE_ERROR_IO_TIMEOUT, "worker"); }).join();
  EXPECT_EQ(VI_SUCCESS, Read(vi_).code) << "a session error belongs to the thread that caused it";

  IviSession_SetError(vi_, KORVANE_ERROR_IO, "both");
  EXPECT_EQ(KORVANE_ERROR_IO, Read(VI_NULL).code);
  EXPECT_EQ(KORVANE_ERROR_IO, Read(vi_).code);
}

TEST_F(SessionStore, LockIsReentrantAndExcludesOtherThreads) {
  ViBoolean has = VI_FALSE;
  ASSERT_EQ(VI_SUCCESS, IviSession_Lock(vi_, &has));
  EXPECT_EQ(VI_TRUE, has);
  ASSERT_EQ(VI_SUCCESS, IviSession_Lock(vi_, &has)) << "already held: no second count";
  ASSERT_EQ(VI_SUCCESS, IviSession_Lock(vi_, nullptr));  // nested, counted

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    IviSession_Lock(vi_, nullptr);
    acquired = true;
    IviSession_Unlock(vi_, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired);
  IviSession_Unlock(vi_, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(acquired) << "one count is still held through callerHasLock";
  ASSERT_EQ(VI_SUCCESS, IviSession_Unlock(vi_, &has));
  EXPECT_EQ(VI_FALSE, has);
  ASSERT_EQ(VI_SUCCESS, IviSession_Unlock(vi_, &has)) << "not held: nothing to do";
  waiter.join();
  EXPECT_TRUE(acquired);
}
