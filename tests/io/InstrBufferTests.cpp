#include "io/InstrBuffer.h"

#include "FakeLowLevelIo.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane::test {
namespace {

class InstrBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorInfo(0, nullptr);
    buffer = CInstrBuffer::Create(&io, &reporter, "\n", "\n");
    ASSERT_TRUE(buffer);
  }

  // Reads characters until the message ends.
  std::string ReadAll() {
    std::string s;
    char c;
    HRESULT hr;
    while ((hr = buffer->ReadChar(&c)) == S_OK) s += c;
    EXPECT_EQ(hr, S_FALSE);
    return s;
  }

  FakeLowLevelIo io;
  TestCallContext context;
  CKorvaneErrorReporter reporter{&context};
  std::unique_ptr<CInstrBuffer> buffer;
};

TEST_F(InstrBufferTest, ResponsesAreReadInChunksWithTheTerminatorHidden) {
  io.Feed("1.5\n");
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "1.5");
  // The message has ended: further reads do not wait for the instrument.
  char c;
  EXPECT_EQ(buffer->ReadChar(&c), S_FALSE);
  EXPECT_EQ(io.reads, 1);

  // A long reply arrives in reads of the read capacity, and the next message starts only on request.
  ASSERT_EQ(buffer->SetReadCapacity(8), S_OK);
  io.largestRead = 0;
  std::string longReply(30, 'x');
  io.Feed(longReply + "\nnext\n");
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), longReply);
  EXPECT_EQ(io.largestRead, 8u);
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "next");
}

TEST_F(InstrBufferTest, PushBackNeedsACharacterRead) {
  io.Feed("ab\n");
  buffer->BeginRead();
  EXPECT_EQ(buffer->PushBack(), MessageResult(msg::IoError));
  EXPECT_NE(TakeErrorText().find("Can't push character back into read buffer.  Buffer has not been read from."),
            std::string::npos);
  char c = 0;
  ASSERT_EQ(buffer->ReadChar(&c), S_OK);
  EXPECT_EQ(buffer->PushBack(), S_OK);
  EXPECT_EQ(ReadAll(), "ab");
}

TEST_F(InstrBufferTest, FlushAddsTheTerminatorOnceWithEnd) {
  ASSERT_EQ(buffer->Write(":CHAN1:SCAL 0.5", 15, nullptr, true), S_OK);
  ASSERT_EQ(io.sent.size(), 1u);
  EXPECT_EQ(io.sent[0].bytes, ":CHAN1:SCAL 0.5\n");
  EXPECT_TRUE(io.sent[0].end);

  ASSERT_EQ(buffer->Write("*RST\n", 5, nullptr, true), S_OK);
  EXPECT_EQ(io.sent.back().bytes, "*RST\n");

  // Nothing buffered, nothing sent.
  EXPECT_EQ(buffer->Flush(true), S_OK);
  EXPECT_EQ(io.sent.size(), 2u);
}

TEST_F(InstrBufferTest, AFullBufferGoesOutWithoutEnd) {
  std::string block(4096, 'a');
  ULONG written = 0;
  ASSERT_EQ(buffer->Write(block.data(), 4096, &written, true), S_OK);
  EXPECT_EQ(written, 4096u);
  ASSERT_EQ(io.sent.size(), 2u);
  EXPECT_EQ(io.sent[0].bytes, block);
  EXPECT_FALSE(io.sent[0].end);
  EXPECT_EQ(io.sent[1].bytes, "\n");
  EXPECT_TRUE(io.sent[1].end);
  EXPECT_TRUE(io.sendEnd) << "the session's send-END setting is restored";

  // Larger writes go out in capacity-sized pieces; only the last carries END.
  io.sent.clear();
  ASSERT_EQ(buffer->SetWriteCapacity(10), S_OK);
  std::string text(25, 'b');
  ASSERT_EQ(buffer->Write(text.data(), 25, nullptr, true), S_OK);
  ASSERT_EQ(io.sent.size(), 3u);
  EXPECT_EQ(io.sent[0].bytes.size(), 10u);
  EXPECT_FALSE(io.sent[1].end);
  EXPECT_EQ(io.sent[2].bytes, std::string(5, 'b') + "\n");
  EXPECT_TRUE(io.sent[2].end);
}

TEST_F(InstrBufferTest, ShortFlushIsAnIoErrorAndDropsTheRest) {
  io.shortWriteBy = 3;
  EXPECT_EQ(buffer->Write("*IDN?", 5, nullptr, true), MessageResult(msg::IoError));
  EXPECT_NE(TakeErrorText().find(
                "Flush of formatted I/O write buffer only successfully sent 3 of 6 bytes to the device."),
            std::string::npos);
  ASSERT_EQ(buffer->Write("*CLS", 4, nullptr, true), S_OK);
  EXPECT_EQ(io.sent.back().bytes, "*CLS\n");
}

TEST_F(InstrBufferTest, BinaryReadsCrossTerminatorsAndGoStraightToTheDestination) {
  // The chunk fill stops at the line feed inside the data; the rest comes in one direct read
  // with termination on the character switched off.
  std::string data = "ab\ncd" + std::string(5000, 'z');
  io.Feed("#" + data + "\nSTB\n");
  buffer->BeginRead();
  char c;
  ASSERT_EQ(buffer->ReadChar(&c), S_OK);
  std::string got(data.size(), '\0');
  ULONG actual = 0;
  ASSERT_EQ(buffer->Read(reinterpret_cast<BYTE*>(got.data()), static_cast<ULONG>(got.size()), &actual), S_OK);
  EXPECT_EQ(actual, data.size());
  EXPECT_EQ(got, data);
  EXPECT_TRUE(io.termEnabled);
  EXPECT_GE(io.largestRead, 5000u);
  // The message's own terminator is still pending; discard takes it, and the next reply is intact.
  EXPECT_TRUE(buffer->MessagePending());
  ASSERT_EQ(buffer->Discard(), S_OK);
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "STB");
}

TEST_F(InstrBufferTest, ATimeoutMidTransferFailsAndLeavesTheBufferUsable) {
  io.Feed("0123456789");
  io.available = 6;
  buffer->BeginRead();
  BYTE dst[10];
  ULONG actual = 0;
  EXPECT_EQ(buffer->Read(dst, 10, &actual), kTimeout);
  EXPECT_EQ(actual, 6u);
  EXPECT_FALSE(buffer->MessagePending()) << "a later discard must not wait for the lost bytes";
  EXPECT_EQ(buffer->Discard(), S_OK);

  io.input = "OK\n";
  io.pos = 0;
  io.available = std::string::npos;
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "OK");
}

// A read gives up on a reply; what comes of it later must not answer the next command, so that
// command first drops it: the rest of a reply that had begun, or a whole reply already there.
TEST_F(InstrBufferTest, TheRestOfAnAbandonedReplyIsDroppedBeforeTheNextCommand) {
  struct Case {
    const char* name;
    std::size_t arrived;  // bytes of "+1.25E-03\n" there when the read gave up
    std::string late;     // what arrived after that, before the next command
    bool giveBack;        // a read that times out keeps its bytes in the session
  };
  const Case cases[] = {{"half had come, the rest follows", 4, "5E-03\n", false},
                        {"nothing had come, nothing follows", 0, "", false},
                        {"nothing had come, all of it came late", 0, "+1.25E-03\n", false},
                        {"a flood that never ends its message", 4, std::string(3 * 4096 + 123, '7'), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    io.giveBackOnTimeout = c.giveBack;
    io.input = "+1.25E-03\n";
    io.pos = 0;
    io.available = c.arrived;
    buffer->BeginRead();
    char ch;
    HRESULT hr;
    while ((hr = buffer->ReadChar(&ch)) == S_OK) {
    }
    EXPECT_EQ(hr, kTimeout);
    io.input = c.late;
    io.pos = 0;
    io.available = std::string::npos;
    ASSERT_EQ(buffer->Write("*IDN?", 5, nullptr, true), S_OK);
    io.input += "OK\n";
    buffer->BeginRead();
    EXPECT_EQ(ReadAll(), "OK");
    EXPECT_EQ(io.AllSent().substr(io.AllSent().size() - 6), "*IDN?\n");
  }
}

TEST_F(InstrBufferTest, DiscardReadsTheRestOfAnUnfinishedMessage) {
  ASSERT_EQ(buffer->SetReadCapacity(4), S_OK);
  io.Feed("1,2,3,4,5,6,7\n+0\n");
  buffer->BeginRead();
  char c;
  ASSERT_EQ(buffer->ReadChar(&c), S_OK);
  ASSERT_EQ(buffer->Discard(), S_OK);
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "+0");
}

TEST_F(InstrBufferTest, ReadToEndStopsAtTheMessageEndOrTheCapacity) {
  io.Feed("abcdefgh\nxyz\n");
  buffer->BeginRead();
  char c;
  ASSERT_EQ(buffer->ReadChar(&c), S_OK);
  BYTE dst[16];
  ULONG actual = 0;
  bool more = true;
  ASSERT_EQ(buffer->ReadToEnd(dst, 16, &actual, &more), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), actual), "bcdefgh");
  EXPECT_FALSE(more);

  buffer->BeginRead();
  ASSERT_EQ(buffer->ReadToEnd(dst, 2, &actual, &more), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), actual), "xy");
  EXPECT_TRUE(more);
}

TEST_F(InstrBufferTest, ReadIntoNewArraysAndStrings) {
  io.Feed("hello\n");
  buffer->BeginRead();
  SafeArrayPtr sa;
  ASSERT_EQ(buffer->Read(3, sa.Receive()), S_OK);
  SafeArrayAccess<BYTE> data(sa.get());
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), 3), "hel");
  Bstr rest;
  ASSERT_EQ(buffer->Read(2, rest.Receive()), S_OK);
  EXPECT_EQ(rest.Narrow(), "lo");
}

TEST_F(InstrBufferTest, ImpossibleCapacitiesAreReportedAndTheBufferStaysUsable) {
  EXPECT_EQ(buffer->SetWriteCapacity(0), MessageResult(msg::OutOfMemory));
  EXPECT_NE(TakeErrorText().find("Couldn't allocate formatted I/O write buffer with a capacity of 0 bytes."),
            std::string::npos);
  EXPECT_EQ(buffer->SetReadCapacity(0), MessageResult(msg::OutOfMemory));
  EXPECT_NE(TakeErrorText().find("Couldn't allocate formatted I/O read buffer with a capacity of 0 bytes."),
            std::string::npos);
  ASSERT_EQ(buffer->Write("*OPC?", 5, nullptr, true), S_OK);
  io.Feed("1\n");
  buffer->BeginRead();
  EXPECT_EQ(ReadAll(), "1");
}

}  // namespace
}  // namespace korvane::test
