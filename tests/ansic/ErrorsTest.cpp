// The error functions: the text of a status, the session's latest error, and the instrument's
// queue read whole into a buffer too small for it.
#include "AnsiCSim.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string Message(int32_t status, int32_t* result = nullptr) {
  std::size_t needed = 0;
  std::string text(512, '#');
  const int32_t st = KVScope_error_message(status, text.size(), text.data(), &needed);
  if (result) *result = st;
  return st == KVSCOPE_SUCCESS ? text.substr(0, needed - 1) : text;
}

TEST(AnsiCErrorMessage, KnownUnknownAndSuccess) {
  int32_t st = -1;
  EXPECT_EQ("", Message(KVSCOPE_SUCCESS, &st));
  EXPECT_EQ(KVSCOPE_SUCCESS, st);
  EXPECT_NE(std::string::npos, Message(KVSCOPE_ERROR_IO_TIMEOUT, &st).find("timeout"))
      << Message(KVSCOPE_ERROR_IO_TIMEOUT);
  EXPECT_EQ(KVSCOPE_SUCCESS, st);
  // Every code the header names has its text.
  for (int32_t code : {KVSCOPE_ERROR_INVALID_SESSION, KVSCOPE_ERROR_BUFFER_TOO_SMALL, KVSCOPE_ERROR_NULL_POINTER,
                       KVSCOPE_ERROR_OPTION_NAME_UNKNOWN, KVSCOPE_WARNING_ID_QUERY_NOT_SUPPORTED}) {
    EXPECT_FALSE(Message(code, &st).empty()) << code;
    EXPECT_EQ(KVSCOPE_SUCCESS, st) << code;
  }
  // What a session that cannot open returns has its text too.
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  const int32_t failed = KVScope_init("TCPIP0::127.0.0.1::1::SOCKET", false, false, &s);
  ASSERT_LT(failed, 0);
  EXPECT_FALSE(Message(failed, &st).empty()) << failed;
  EXPECT_EQ(KVSCOPE_SUCCESS, st);
  // An unknown code is an error and leaves the buffer alone.
  EXPECT_EQ(std::string(512, '#'), Message(-123456, &st));
  EXPECT_EQ(KVSCOPE_ERROR_INVALID_ARGUMENT, st);
}

TEST(AnsiCErrorMessage, FailedInitIsReadWithoutASession) {
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  EXPECT_EQ(KVSCOPE_ERROR_OPTION_NAME_UNKNOWN, KVScope_init_with_options("", false, false, "colour=red", &s));
  EXPECT_EQ(KVSCOPE_INVALID_SESSION, s);
  std::string text(256, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(KVSCOPE_INVALID_SESSION, text.size(), text.data(), nullptr));
  EXPECT_NE(std::string::npos, text.find("colour")) << text;
}

using AnsiCErrors = AnsiCSim;

TEST_F(AnsiCErrors, LastErrorStaysUntilCleared) {
  double offset = 0;
  EXPECT_LT(KVScope_channels_offset_get(s_, "Channel9", &offset), 0);
  std::string first(512, '\0'), again(512, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(s_, first.size(), first.data(), nullptr));
  EXPECT_NE(std::string::npos, first.find("selector")) << first;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(s_, again.size(), again.data(), nullptr));
  EXPECT_EQ(first, again) << "reading cleared it";
  // The session stays usable.
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_channels_offset_get(s_, "Channel1", &offset));
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_clear_last_error(s_));
  std::size_t needed = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(s_, 0, nullptr, &needed));
  EXPECT_EQ(1u, needed);
}

TEST_F(AnsiCErrors, QueueLongerThanTheBufferGivesWholeEntriesAndEmptiesIt) {
  constexpr int kErrors = 6;
  for (int k = 0; k < kErrors; ++k) ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(s_, ":NO:SUCH:HEADER"));
  // What one entry looks like, to size a buffer for two and a half of them.
  std::string all(4096, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_read_and_clear_error_queue(s_, all.size(), all.data()));
  all.resize(all.find('\0'));
  const std::string entry = all.substr(0, all.find(';'));
  ASSERT_EQ(kErrors - 1, static_cast<int>(std::count(all.begin(), all.end(), ';'))) << all;
  ASSERT_EQ('-', entry[0]) << entry;
  ASSERT_NE(std::string::npos, entry.find(",\"")) << entry;
  ASSERT_EQ('"', entry.back()) << entry;

  for (int k = 0; k < kErrors; ++k) ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(s_, ":NO:SUCH:HEADER"));
  std::string small(2 * entry.size() + 1 + entry.size() / 2, '#');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_read_and_clear_error_queue(s_, small.size(), small.data()));
  EXPECT_EQ(entry + ";" + entry, std::string(small.c_str()));
  // The rest was read and dropped.
  int32_t code = -1;
  std::size_t needed = 0;
  std::string message(256, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_error_query(s_, &code, message.size(), message.data(), &needed));
  EXPECT_EQ(0, code) << message;
  // Reading is destructive, so there is no size query.
  EXPECT_EQ(KVSCOPE_ERROR_INVALID_ARGUMENT, KVScope_read_and_clear_error_queue(s_, 0, small.data()));
  EXPECT_EQ(KVSCOPE_ERROR_NULL_POINTER, KVScope_read_and_clear_error_queue(s_, 10, nullptr));
}

TEST_F(AnsiCErrors, CoercionRecordsAndInterchangeWarningsReturnTheDriversStatus) {
  // The driver keeps neither list: a call, a size query included, gets its status and text and
  // writes nothing; the session goes on.
  const struct {
    int32_t (*next)(KVScopeSession, std::size_t, char*, std::size_t*);
    const char* member;
  } cases[] = {{KVScope_get_next_coercion_record, "GetNextCoercionRecord"},
               {KVScope_get_next_interchange_warning, "GetNextInterchangeWarning"}};
  for (const auto& c : cases) {
    std::string buffer(64, '#');
    std::size_t needed = 7;
    EXPECT_EQ(KVSCOPE_ERROR_METHOD_NOT_SUPPORTED, c.next(s_, buffer.size(), buffer.data(), &needed)) << c.member;
    EXPECT_EQ(std::string(64, '#'), buffer);
    EXPECT_EQ(7u, needed);
    EXPECT_EQ(KVSCOPE_ERROR_METHOD_NOT_SUPPORTED, c.next(s_, 0, nullptr, &needed)) << c.member;
    std::string text(512, '\0');
    ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_last_error_message(s_, text.size(), text.data(), nullptr));
    EXPECT_NE(std::string::npos, text.find(c.member)) << text;
    EXPECT_EQ(KVSCOPE_ERROR_INVALID_SESSION, c.next(KVSCOPE_INVALID_SESSION, buffer.size(), buffer.data(), &needed));
  }
  double offset = 0;
  EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_channels_offset_get(s_, "Channel1", &offset));
}

}  // namespace
