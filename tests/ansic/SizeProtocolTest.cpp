// The size protocol over strings and arrays: size 0, a null buffer, the exact size, one short and
// one more. Nothing but size_required may change on a size query or a short buffer: not the
// caller's buffer, not the instrument (the I/O log shows no acquisition was started).
#include "AnsiCSim.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr char kSentinel = '#';
constexpr double kSentinelPoint = -12345.0;

struct Case {
  const char* what;
  std::size_t size;  // SIZE_MAX: the exact size; the others relative to it below
  int relative;      // added to the exact size
  bool nullBuffer;
  int32_t status;
  bool written;
};

// The same five cases for every output; `exact` is what the output needs.
std::vector<Case> Cases() {
  return {
      {"size 0", 0, 0, false, KVSCOPE_SUCCESS, false},
      {"null buffer", SIZE_MAX, 0, true, KVSCOPE_SUCCESS, false},
      {"exact", SIZE_MAX, 0, false, KVSCOPE_SUCCESS, true},
      {"one short", SIZE_MAX, -1, false, KVSCOPE_ERROR_BUFFER_TOO_SMALL, false},
      {"one more", SIZE_MAX, 1, false, KVSCOPE_SUCCESS, true},
  };
}

std::size_t SizeOf(const Case& c, std::size_t exact) {
  return c.size == SIZE_MAX ? static_cast<std::size_t>(static_cast<long>(exact) + c.relative) : c.size;
}

class AnsiCSizeProtocol : public AnsiCSim {
 protected:
  std::string Options() override { return "cache=false;io_log=" + LogPath(); }
  std::string LogPath() { return ::testing::TempDir() + "ansic_size_" + std::to_string(::getpid()) + ".log"; }
  std::string Log() {
    std::ifstream in(LogPath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void TearDown() override {
    AnsiCSim::TearDown();
    std::remove(LogPath().c_str());
  }
};

TEST_F(AnsiCSizeProtocol, Strings) {
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_trigger_source_set(s_, "Channel2"));
  std::string want(64, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_trigger_source_get(s_, want.size(), want.data(), nullptr));
  want.resize(want.find('\0'));
  ASSERT_FALSE(want.empty());
  using Getter = int32_t (*)(KVScopeSession, std::size_t, char*, std::size_t*);
  struct Output {
    const char* name;
    Getter get;
  };
  std::string model(64, '\0');
  std::size_t n = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_instrument_model_get(s_, model.size(), model.data(), &n));
  model.resize(n - 1);
  const std::pair<Output, std::string> outputs[] = {
      {{"trigger_source_get", &KVScope_trigger_source_get}, want},
      {{"instrument_model_get", &KVScope_instrument_model_get}, model},
  };
  for (const auto& [out, text] : outputs) {
    for (const Case& c : Cases()) {
      std::string buffer(text.size() + 8, kSentinel);
      std::size_t required = 0;
      const std::size_t size = SizeOf(c, text.size() + 1);
      EXPECT_EQ(c.status, out.get(s_, size, c.nullBuffer ? nullptr : buffer.data(), &required)) << out.name << c.what;
      EXPECT_EQ(text.size() + 1, required) << out.name << ", " << c.what;
      if (c.written) {
        EXPECT_EQ(text, std::string(buffer.c_str())) << out.name << ", " << c.what;
        EXPECT_EQ(kSentinel, buffer[text.size() + 1]) << out.name << ", " << c.what << ": wrote past the NUL";
      } else {
        EXPECT_EQ(std::string(buffer.size(), kSentinel), buffer) << out.name << ", " << c.what;
      }
    }
  }
  // None of it changed the setting.
  std::string back(16, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_trigger_source_get(s_, back.size(), back.data(), nullptr));
  EXPECT_EQ(want, std::string(back.c_str()));
}

// A read acquires: its size queries and short buffers are answered from the record length,
// before anything is sent that starts an acquisition.
TEST_F(AnsiCSizeProtocol, AcquiringArrayStartsNothingUnlessItFits) {
  int32_t record = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_acquisition_record_length_get(s_, &record));
  ASSERT_GT(record, 1);
  const std::size_t exact = static_cast<std::size_t>(record);
  for (const Case& c : Cases()) {
    std::vector<double> buffer(exact + 4, kSentinelPoint);
    std::size_t required = 0;
    double x0 = kSentinelPoint, dx = kSentinelPoint;
    const std::size_t before = Log().size();
    EXPECT_EQ(c.status,
              KVScope_measurements_read_waveform(s_, "Channel1", 5000, SizeOf(c, exact),
                                                 c.nullBuffer ? nullptr : buffer.data(), &required, &x0, &dx))
        << c.what;
    EXPECT_EQ(exact, required) << c.what;
    // Commands sent (the I/O log's "->" lines) that are not queries: those change the instrument.
    std::istringstream lines(Log().substr(before));
    int commands = 0;
    for (std::string line; std::getline(lines, line);)
      if (line.find(" -> ") != std::string::npos && line.find('?') == std::string::npos) ++commands;
    if (c.written) {
      EXPECT_NE(kSentinelPoint, buffer[0]) << c.what;
      EXPECT_NE(kSentinelPoint, buffer[exact - 1]) << c.what;
      EXPECT_EQ(kSentinelPoint, buffer[exact]) << c.what << ": wrote past the record";
      EXPECT_GT(dx, 0) << c.what;
      EXPECT_GT(commands, 0) << c.what << ": the read did not acquire";
    } else {
      EXPECT_EQ(std::vector<double>(buffer.size(), kSentinelPoint), buffer) << c.what;
      EXPECT_EQ(kSentinelPoint, dx) << c.what;
      EXPECT_EQ(0, commands) << c.what << ": started an acquisition";
    }
  }
}

// A fetch reads the last record without changing the instrument: it is measured after the read.
TEST_F(AnsiCSizeProtocol, FetchedArrayIsWrittenOnlyWhenItFits) {
  std::size_t exact = 0;
  double x0 = 0, dx = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_measurements_read_waveform(s_, "Channel1", 5000, 0, nullptr, &exact, &x0, &dx));
  std::vector<double> first(exact);
  ASSERT_EQ(KVSCOPE_SUCCESS,
            KVScope_measurements_read_waveform(s_, "Channel1", 5000, exact, first.data(), &exact, &x0, &dx));
  for (const Case& c : Cases()) {
    std::vector<double> buffer(exact + 4, kSentinelPoint);
    std::size_t required = 0;
    EXPECT_EQ(c.status,
              KVScope_measurements_fetch_waveform(s_, "Channel1", SizeOf(c, exact),
                                                  c.nullBuffer ? nullptr : buffer.data(), &required, &x0, &dx))
        << c.what;
    EXPECT_EQ(exact, required) << c.what;
    if (c.written) {
      EXPECT_EQ(first, std::vector<double>(buffer.begin(), buffer.begin() + static_cast<long>(exact))) << c.what;
      EXPECT_EQ(kSentinelPoint, buffer[exact]) << c.what;
    } else {
      EXPECT_EQ(std::vector<double>(buffer.size(), kSentinelPoint), buffer) << c.what;
    }
  }
}

// Direct I/O and the error query keep what they read until a buffer takes it: a short buffer
// loses nothing and sends nothing again.
TEST_F(AnsiCSizeProtocol, ReadsKeepWhatDidNotFit) {
  std::size_t needed = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_query(s_, "*IDN?", 0, nullptr, &needed));
  ASSERT_GT(needed, 10u);
  std::string small(needed - 1, kSentinel);
  EXPECT_EQ(KVSCOPE_ERROR_BUFFER_TOO_SMALL, KVScope_direct_io_query(s_, "*IDN?", small.size(), small.data(), &needed));
  EXPECT_EQ(std::string(needed - 1, kSentinel), small);
  const std::size_t before = Log().size();
  std::string reply(needed, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_query(s_, "*IDN?", reply.size(), reply.data(), &needed));
  EXPECT_EQ(std::string::npos, Log().find("*IDN?", before)) << "the query went out again";
  EXPECT_NE(std::string::npos, reply.find(',')) << reply;

  // Byte reads are a stream: what does not fit comes with the next read.
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(s_, "*IDN?"));
  const std::string whole(reply.c_str());
  std::string bytes;
  uint8_t chunk[7];
  while (bytes.size() < whole.size()) {
    std::size_t got = 0;
    ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_read_bytes(s_, sizeof chunk, chunk, &got)) << bytes;
    ASSERT_GT(got, 0u) << bytes;
    bytes.append(reinterpret_cast<char*>(chunk), got);
  }
  EXPECT_EQ(whole, bytes);

  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_direct_io_write_string(s_, ":NO:SUCH:COMMAND"));
  int32_t code = 0;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_error_query(s_, &code, 0, nullptr, &needed));
  EXPECT_EQ(0, code) << "a size query writes no code";
  std::string message(needed, '\0');
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_error_query(s_, &code, message.size(), message.data(), &needed));
  EXPECT_LT(code, 0) << "the held entry is the instrument's error";
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_error_query(s_, &code, message.size(), message.data(), &needed));
  EXPECT_EQ(0, code);
}

}  // namespace
