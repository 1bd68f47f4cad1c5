#include "io/FormattedIo.h"
#include "io/InstrBuffer.h"

#include "FakeLowLevelIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

// A small converter: the trigger type and the boolean map.
class FakeEnums : public IEnumFormatter {
 public:
  explicit FakeEnums(IErrorReporter* r) : reporter_(r) {}
  HRESULT FormatEnumValue(std::string_view name, LONG value, std::string_view* token) override {
    auto* map = Find(name);
    if (!map) return ReportUnknownEnumName(reporter_, name);
    for (const auto& [t, v] : *map)
      if (v == value) return *token = t, S_OK;
    return E_INVALIDARG;
  }
  HRESULT ParseEnumToken(std::string_view name, std::string_view token, LONG* value) override {
    auto* map = Find(name);
    if (!map) return ReportUnknownEnumName(reporter_, name);
    auto it = map->find(std::string(token));
    if (it == map->end()) return ReportUnexpectedEnumToken(reporter_, token, name);
    *value = it->second;
    return S_OK;
  }

 private:
  const std::map<std::string, LONG>* Find(std::string_view name) const {
    if (name == "VARIANT_BOOL") return &bools_;
    if (name == "KorvaneTriggerTypeEnum") return &triggers_;
    return nullptr;
  }
  IErrorReporter* reporter_;
  std::map<std::string, LONG> bools_{{"1", -1}, {"0", 0}};
  std::map<std::string, LONG> triggers_{{"EDGE", 1}, {"PATT", 2}};
};

class FormattedIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorInfo(0, nullptr);
    buffer = CInstrBuffer::Create(&io, &reporter, "\n", "\n");
    ASSERT_TRUE(buffer);
  }

  template <typename... A>
  std::string Format(const char* format, A... args) {
    std::string out;
    CFormattedIo::CCStringWriter sink(out);
    auto values = format::Args(args...);
    format::ArgList list(values);
    last = engine.Printf(sink, format, &list);
    return out;
  }
  template <typename... A>
  HRESULT Scan(const char* format, A... args) {
    auto values = format::Args(args...);
    format::ArgList list(values);
    return engine.Scanf(*buffer, format, &list);
  }
  // Ends the exchange the way the session does, so the next reply starts clean.
  void Reply(std::string text) {
    buffer->Discard();
    io.input = std::move(text);
    io.pos = 0;
  }

  FakeLowLevelIo io;
  TestCallContext context;
  CKorvaneErrorReporter reporter{&context};
  FakeEnums enums{&reporter};
  CFormattedIo engine{&reporter, &enums};
  std::unique_ptr<CInstrBuffer> buffer;
  HRESULT last = S_OK;
};

// ---- printf side ----

TEST_F(FormattedIoTest, NumbersFollowPrintfRulesWithoutTheLocale) {
  EXPECT_EQ(Format(":CHAN%d:OFFS %0.15lg", 3, 0.125), ":CHAN3:OFFS 0.125");
  EXPECT_EQ(Format("%0.15lg", 0.1 + 0.2), "0.3");
  EXPECT_EQ(Format("%0.15lg", 1e-20), "1e-20");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 7, 7), "[   42|42   |-0042|+7| 7]");
  EXPECT_EQ(Format("%.3d %.0d %x %o %u", 7, 0, 255, 8, -1), "007  ff 10 4294967295");
  EXPECT_EQ(Format("%hd %bu %Id", 70000, 300, 1LL << 40), "4464 44 1099511627776");
  EXPECT_EQ(Format("%*.*lf|%-*d|", 8, 2, 3.14159, -4, 1), "    3.14|1   |");
  EXPECT_EQ(Format("%le %G %f", 1234.5, 1e-10, -0.5), "1.234500e+03 1E-10 -0.500000");
  EXPECT_EQ(Format("%08.2f", -1.5), "-0001.50");
}

// The pieces of a format reach the sink in order, whatever their lengths, and what came
// before a failing field is still written.
TEST_F(FormattedIoTest, PiecesOfEveryLengthArriveInOrder) {
  std::string longText(300, 'x');
  std::string wide(255, 'w');
  std::string expected = ":A" + longText + "1" + wide + "2" + std::string(1000, ' ') + "3.5;" + longText;
  EXPECT_EQ(Format((":A" + longText + "%d%s%d%1000s%g;%s").c_str(), 1, wide.c_str(), 2, "", 3.5, longText.c_str()),
            expected);
  EXPECT_EQ(last, S_OK);
  EXPECT_EQ(Format(":B%d:%s", 4, static_cast<const char*>(nullptr)), ":B4:");
  EXPECT_TRUE(FAILED(last));
  double numbers[200];
  std::string want = "V ";
  for (int i = 0; i < 200; ++i) {
    numbers[i] = i * 0.25;
    char t[32];
    std::snprintf(t, sizeof t, "%s%g", i ? "," : "", numbers[i]);
    want += t;
  }
  EXPECT_EQ(Format("V %,200lg", numbers), want);
}

TEST_F(FormattedIoTest, Ieee488NumericForms) {
  EXPECT_EQ(Format("%@3lf", 1.5), "1.500000E+00");
  EXPECT_EQ(Format("%@Hd", 255), "#HFF");
  EXPECT_EQ(Format("%@Qd %@Bd", 8, 5), "#Q10 #B101");
  EXPECT_EQ(Format("%0@H6d|%-@H6d|", 255, 255), "#H00FF|#HFF  |");
  EXPECT_EQ(Format("%@1lf %@1lf", 2.5, 2.4), "3 2");
  EXPECT_EQ(Format("%@2d %@Hhd", 3, -1), "3.000000 #HFFFF");
}

TEST_F(FormattedIoTest, StringsQuotesAndObjects) {
  Bstr abc(std::string_view("abc"));
  std::string object = "CHAN1";
  EXPECT_EQ(Format("%$Bqs %$BQs", abc.get(), abc.get()), "'abc' \"abc\"");
  EXPECT_EQ(Format(":WAV:SOUR %$Cs", &object), ":WAV:SOUR CHAN1");
  EXPECT_EQ(Format("[%-6s|%6s|%.2s|%qs]", "ab", "ab", "abcdef", "it's"), "[ab    |    ab|ab|'it''s']");
  EXPECT_EQ(Format("%c%3c", 'x', 'y'), "x  y");

  EXPECT_EQ(Format("A%sB", static_cast<const char*>(nullptr)), "A");
  EXPECT_EQ(last, E_INVALIDARG);
  EXPECT_EQ(Format("%$Bs", static_cast<BSTR>(nullptr)), "");
  EXPECT_EQ(last, E_INVALIDARG);
}

TEST_F(FormattedIoTest, EnumerationsGoThroughTheFormatter) {
  // The boolean takes a 16-bit argument and the next argument is still found.
  EXPECT_EQ(Format(":MTES:ALL %{VARIANT_BOOL}s,%d", static_cast<VARIANT_BOOL>(VARIANT_TRUE), 7), ":MTES:ALL 1,7");
  EXPECT_EQ(Format(":TRIG:MODE %{KorvaneTriggerTypeEnum}qs", 2), ":TRIG:MODE 'PATT'");
  EXPECT_EQ(Format("%{KorvaneFooEnum}s", 1), "");
  EXPECT_EQ(last, MessageResult(msg::UnrecoverableFailure));
  EXPECT_NE(TakeErrorText().find("Unrecognized enum name 'KorvaneFooEnum'."), std::string::npos);
}

TEST_F(FormattedIoTest, ArraysWithSeparatorsAndSafeArrays) {
  LONG values[] = {1, -2, 3};
  double reals[] = {0.5, 1.25};
  EXPECT_EQ(Format("%,3d", values), "1,-2,3");
  EXPECT_EQ(Format("%(;)*lf", 2, reals), "0.500000;1.250000");
  EXPECT_EQ(Format("%@H(s)2d", values), "#H1 #HFFFFFFFE");

  SafeArrayPtr sa(SafeArrayCreateVector(VT_R8, 0, 2));
  {
    SafeArrayAccess<double> a(sa.get());
    a.data()[0] = 1;
    a.data()[1] = 2;
  }
  EXPECT_EQ(Format("%,$Slg", sa.get()), "1,2");
  EXPECT_EQ(Format("%,$Sd", sa.get()), "");
  EXPECT_EQ(last, E_INVALIDARG) << "element type must match the conversion";
  EXPECT_EQ(Format("%,d", values), "");
  EXPECT_EQ(last, E_UNEXPECTED) << "a plain pointer needs a count";

  // Without arrays allowed the array conversion neither writes nor takes an argument.
  std::string out;
  CFormattedIo::CCStringWriter sink(out);
  auto noArrays = [&](const char* f, auto... args) {
    auto values = format::Args(args...);
    format::ArgList list(values);
    return engine.Printf(sink, f, &list, false);
  };
  EXPECT_EQ(noArrays("%,3d:%d", 5), S_OK);
  EXPECT_EQ(out, ":5");
}

TEST_F(FormattedIoTest, BlocksAndRawBinary) {
  short points[] = {0x0102, 0x0304};
  EXPECT_EQ(Format("%*hb", 2, points), std::string("#14\x01\x02\x03\x04", 7));
  EXPECT_EQ(Format("%*hb", 0, points), "#0");
  EXPECT_EQ(Format("%2!olhy", points), std::string("\x02\x01\x04\x03", 4));
  std::string bytes(1234, 'q');
  EXPECT_EQ(Format("%*b", 1234, bytes.data()), "#41234" + bytes);
}

TEST_F(FormattedIoTest, ABadFormatSendsNothing) {
  format::ArgList* none = nullptr;
  EXPECT_EQ(engine.Printf(*buffer, ":CHAN1:SCAL 1;%k", none), E_UNEXPECTED);
  EXPECT_NE(TakeErrorText().find("%k"), std::string::npos);
  EXPECT_EQ(buffer->Flush(true), S_OK);
  EXPECT_TRUE(io.sent.empty());
}

// ---- scanf side ----

TEST_F(FormattedIoTest, ErrorQueryReplyAndNumbers) {
  Reply("-113,\"Undefined header\"\n");
  LONG code = 0;
  std::string text;
  ASSERT_EQ(Scan("%d,%$Ct", &code, &text), S_OK);
  EXPECT_EQ(code, -113);
  EXPECT_EQ(text, "\"Undefined header\"");

  double a = 0, b = 0, c = 0;
  Reply("+1.5E-03, 9.9E+37;-2\n");
  ASSERT_EQ(Scan("%lf,%lf;%lf", &a, &b, &c), S_OK);
  EXPECT_EQ(a, 1.5e-3);
  EXPECT_EQ(b, 9.9e37);
  EXPECT_EQ(c, -2);

  LONG h = 0, x = 0;
  short s = 0;
  BYTE by = 0;
  LONGLONG big = 0;
  Reply("#HFF ff -7 200 -9000000000\n");
  ASSERT_EQ(Scan("%d %x %hd %bd %Id", &h, &x, &s, &by, &big), S_OK);
  EXPECT_EQ(h, 255);
  EXPECT_EQ(x, 255);
  EXPECT_EQ(s, -7);
  EXPECT_EQ(by, 200);
  EXPECT_EQ(big, -9000000000LL);
}

TEST_F(FormattedIoTest, MalformedNumbersAreUnexpectedResponsesAndTheSessionGoesOn) {
  LONG v = 0;
  short s = 0;
  double d = 0;
  Reply("abc\n");
  EXPECT_EQ(Scan("%d", &v), MessageResult(msg::UnexpectedResponse));
  Reply("1.5e+\n");
  EXPECT_EQ(Scan("%lf", &d), MessageResult(msg::UnexpectedResponse));
  Reply("\n");
  EXPECT_EQ(Scan("%lf", &d), MessageResult(msg::UnexpectedResponse));
  Reply("70000\n");
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(Scan("%hd", &s), MessageResult(msg::UnexpectedResponse));
  EXPECT_NE(TakeErrorText().find("Overflow or underflow reading value of '7.000000e+04' into a short."),
            std::string::npos);
  Reply("99999999999999999999999\n");
  EXPECT_EQ(Scan("%Id", &v), MessageResult(msg::UnexpectedResponse));
  Reply("1;2\n");
  EXPECT_EQ(Scan("%d,%d", &v, &v), MessageResult(msg::UnexpectedResponse));
  // Broken or non-finite numbers are refused, not read in part; a tiny one is zero.
  for (const char* bad : {"1.2.3E\n", "1E2E3\n", "1E999\n", "-1.5E+400\n", "NAN\n", "INF\n"}) {
    Reply(bad);
    EXPECT_EQ(Scan("%lf", &d), MessageResult(msg::UnexpectedResponse)) << bad;
  }
  Reply("1E-999\n");
  ASSERT_EQ(Scan("%lf", &d), S_OK);
  EXPECT_EQ(d, 0.0);
  Reply("2,1E999\n");
  double list[2];
  LONG two = 2;
  EXPECT_EQ(Scan("%,#lf", &two, list), MessageResult(msg::UnexpectedResponse));

  // Text beyond the longest reply the driver reads into a string of its own is refused.
  std::string text;
  Reply(std::string(kMaxReplyText + 1, 'x') + "\n");
  EXPECT_EQ(Scan("%$Ct", &text), MessageResult(msg::UnexpectedResponse));
  EXPECT_NE(TakeErrorText().find("longer than the 1048576 characters"), std::string::npos);
  Reply(std::string(kMaxReplyText, 'x') + "\n");
  ASSERT_EQ(Scan("%$Ct", &text), S_OK);
  EXPECT_EQ(text.size(), kMaxReplyText);

  Reply("42\n");
  ASSERT_EQ(Scan("%d", &v), S_OK);
  EXPECT_EQ(v, 42);
}

TEST_F(FormattedIoTest, TextConversions) {
  char word[4];
  char line[32];
  std::string rest;
  Reply("  abcdef tail\tend\n");
  ASSERT_EQ(Scan("%4s%s %[^\t]%$Ct", word, line, line + 16, &rest), S_OK);
  EXPECT_STREQ(word, "abc") << "the buffer size leaves room for the terminating zero";
  EXPECT_STREQ(line, "def");
  EXPECT_STREQ(line + 16, "tail");
  EXPECT_EQ(rest, "\tend");

  // A transport with END: the line feed inside the message does not end it.
  BSTR first = SysAllocString(OLESTR("old"));
  LONG size = 4;
  char small[4];
  char chars[2];
  Reply("one\ntwo,xy\n");
  io.termEnabled = false;
  io.endMarks = {io.input.size()};
  ASSERT_EQ(Scan("%$BT%#[a-z]%*[,]%2c", &first, &size, small, chars), S_OK);
  EXPECT_EQ(ToNarrow(first), "one\n");
  SysFreeString(first);
  EXPECT_STREQ(small, "two");
  EXPECT_EQ(size, 3);
  EXPECT_EQ(std::string(chars, 2), "xy");
}

TEST_F(FormattedIoTest, EnumerationTokensAreTrimmedAndMapped) {
  LONG type = 0;
  struct {
    VARIANT_BOOL value;
    short guard;
  } flag{0, 0x5A5A};
  Reply("  EDGE  \n");
  ASSERT_EQ(Scan("%{KorvaneTriggerTypeEnum}[^\n]", &type), S_OK);
  EXPECT_EQ(type, 1);
  Reply("1\n");
  ASSERT_EQ(Scan("%{VARIANT_BOOL}[^\n]", &flag.value), S_OK);
  EXPECT_EQ(flag.value, VARIANT_TRUE);
  EXPECT_EQ(flag.guard, 0x5A5A);

  Reply("edge\n");
  EXPECT_EQ(Scan("%{KorvaneTriggerTypeEnum}s", &type), MessageResult(msg::UnexpectedResponse));
  EXPECT_NE(TakeErrorText().find("Unexpected value 'edge' for enum 'KorvaneTriggerTypeEnum'."), std::string::npos);
}

TEST_F(FormattedIoTest, ArraysStopAtTheCountOrTheLastSeparator) {
  double values[4] = {};
  LONG count = 4;
  Reply("1, 2.5,-3\n");
  ASSERT_EQ(Scan("%,#lf", &count, values), S_OK);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(values[1], 2.5);
  EXPECT_EQ(values[2], -3);

  SafeArrayPtr sa;
  Reply("1;2;3;4;5\n");
  ASSERT_EQ(Scan("%(;)3$Shd", sa.Receive()), S_OK);
  SafeArrayAccess<short> a(sa.get());
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a.data()[2], 3);

  SafeArrayPtr names;
  Reply("EDGE,PATT\n");
  ASSERT_EQ(Scan("%,$S$Bs", names.Receive()), S_OK);
  SafeArrayAccess<BSTR> n(names.get());
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(ToNarrow(n.data()[1]), "PATT");
}

TEST_F(FormattedIoTest, BlocksIntoTooSmallArraysKeepOnlyWhatFits) {
  // Ten bytes into four 16-bit elements: eight bytes stored, byte-swapped; two dropped.
  short points[5] = {0, 0, 0, 0, 0x7777};
  LONG count = 4;
  Reply(std::string("#210\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A", 14) + "\n");
  ASSERT_EQ(Scan("%#hb", &count, points), S_OK);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(points[0], 0x0102);
  EXPECT_EQ(points[3], 0x0708);
  EXPECT_EQ(points[4], 0x7777);
  buffer->Discard();
  EXPECT_EQ(io.pos, io.input.size()) << "the rest of the block and the terminator were consumed";
}

TEST_F(FormattedIoTest, LongBlocksAreSwappedWholeOrFailWhenCutShort) {
  // An odd read capacity leaves an element split between the buffered start of the block and
  // the direct read of the rest, and the block is long enough to be read in more than one piece.
  ASSERT_EQ(buffer->SetReadCapacity(4093), S_OK);
  std::string data(150000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  const std::string reply = "#6150000" + data + "\n";
  for (std::size_t size : {2u, 4u, 8u}) {
    SCOPED_TRACE(size);
    std::string want = data;
    for (std::size_t i = 0; i < want.size(); i += size) std::reverse(want.begin() + i, want.begin() + i + size);
    const char* format = size == 2 ? "%#hb" : size == 4 ? "%#lb" : "%#Zb";
    std::vector<char> got(data.size() + 8, '\x55');
    LONG count = static_cast<LONG>(data.size() / size);
    Reply(reply);
    ASSERT_EQ(Scan(format, &count, got.data()), S_OK);
    EXPECT_EQ(count, static_cast<LONG>(data.size() / size));
    EXPECT_TRUE(std::string(got.data(), data.size()) == want) << "elements reversed, each once";
    EXPECT_EQ(got[data.size()], '\x55');

    SafeArrayPtr sa;
    Reply(reply);
    ASSERT_EQ(Scan(size == 2 ? "%$Shb" : size == 4 ? "%$Slb" : "%$SZb", sa.Receive()), S_OK);
    SafeArrayAccess<BYTE> a(sa.get());
    ASSERT_EQ(a.size(), data.size() / size);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(a.data()), data.size()) == want);
  }

  // Data that stops in the middle of the block is a timeout, not a shorter block.
  LONG count = 75000;
  std::vector<short> points(75000);
  Reply(reply);
  io.available = 140000;
  EXPECT_EQ(Scan("%#hb", &count, points.data()), kTimeout);
  io.available = std::string::npos;
  Reply("+1\n");
  LONG v = 0;
  ASSERT_EQ(Scan("%d", &v), S_OK);
  EXPECT_EQ(v, 1);
}

TEST_F(FormattedIoTest, BlocksSurviveEverySplitOfTheReply) {
  // Binary data holding line feeds, then more of the message; every read capacity from one
  // byte up splits the reply at a different place.
  const std::string data("\n\x01\n\x02\x03\n\x04", 7);
  const std::string reply = "+3,#17" + data + ";OK\n";
  for (ULONG capacity = 1; capacity <= reply.size() + 1; ++capacity) {
    SCOPED_TRACE(capacity);
    ASSERT_EQ(buffer->SetReadCapacity(capacity), S_OK);
    Reply(reply);
    LONG n = 0, count = 16;
    BYTE block[16] = {};
    char tail[8] = {};
    ASSERT_EQ(Scan("%d,%#b;%s", &n, &count, block, tail), S_OK);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(count, 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 7), data);
    EXPECT_STREQ(tail, "OK");
  }
}

// A #0 block runs to the end of the message. Where the connection marks that end itself, line
// feeds in the data are data; where a line feed is the only end, the block is refused rather
// than cut at the first line feed, and the rest of the reply never answers the next query.
TEST_F(FormattedIoTest, IndefiniteBlocksAreReadToTheEndOrRefused) {
  const std::string data("a\nb\n\x01", 5);
  for (bool endMarked : {true, false}) {
    SCOPED_TRACE(endMarked ? "END-marked messages" : "messages end at the line feed");
    buffer->SetEndOnlyAtTerminator(!endMarked);
    BYTE bytes[8] = {};
    LONG count = 8;
    Reply("#0" + data + "\n");
    io.endMarks = {io.input.size()};
    HRESULT hr = Scan("%#b", &count, bytes);
    if (endMarked) {
      ASSERT_EQ(hr, S_OK);
      ASSERT_EQ(count, 5);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), data);
      EXPECT_TRUE(io.termEnabled) << "the termination character is switched back on";
      SafeArrayPtr sa;
      Reply("#0" + data + "\n");
      io.endMarks = {io.input.size()};
      ASSERT_EQ(Scan("%$Sb", sa.Receive()), S_OK);
      EXPECT_EQ(SafeArrayAccess<BYTE>(sa.get()).size(), 5u);
      Reply("#0\n");
      io.endMarks = {io.input.size()};
      ASSERT_EQ(Scan("%$Sb", sa.Receive()), S_OK);
      EXPECT_EQ(SafeArrayAccess<BYTE>(sa.get()).size(), 0u);
    } else {
      EXPECT_EQ(hr, MessageResult(msg::UnexpectedResponse));
      EXPECT_NE(TakeErrorText().find("indefinite-length (#0) block"), std::string::npos);
      // The next command first drops what is left of the refused reply.
      ASSERT_EQ(buffer->Write("X?", 2, nullptr, true), S_OK);
      io.input += "+7\n";
      LONG v = 0;
      ASSERT_EQ(Scan("%d", &v), S_OK);
      EXPECT_EQ(v, 7);
    }
    io.endMarks.clear();
  }
}

TEST_F(FormattedIoTest, BadBlocksFailCleanly) {
  BYTE data[8];
  LONG count = 8;
  Reply("X210\n");
  EXPECT_EQ(Scan("%#b", &count, data), E_UNEXPECTED);
  Reply("#2A0\n");
  EXPECT_EQ(Scan("%#b", &count, data), E_UNEXPECTED);
  Reply("#1");
  EXPECT_EQ(Scan("%b", data), E_UNEXPECTED) << "no element count for a caller array";

  // A header claiming far more than arrives: the read times out, and no claim-sized storage
  // is set aside first.
  SafeArrayPtr sa;
  Reply("#9900000000abcde");
  EXPECT_EQ(Scan("%$Sb", sa.Receive()), kTimeout);
  EXPECT_FALSE(sa);
  Reply("#15ab");
  EXPECT_EQ(Scan("%#b", &count, data), kTimeout);

  Reply("+1\n");
  LONG v = 0;
  ASSERT_EQ(Scan("%d", &v), S_OK);
  EXPECT_EQ(v, 1);
}

}  // namespace
}  // namespace korvane::test
