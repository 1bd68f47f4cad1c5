// Waveform transfer over a scripted session: the exact commands of each fetch and read, the
// scaling of the raw words, the session settings a failed block read must give back, and the
// transfer settings of IKorvaneWaveform.
#include "com/Objects.h"
#include "core/WaveformDestination.h"
#include "support/ScriptedIoSession.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

constexpr HRESULT kInvalidAcquisitionType = hresult::InvalidAcquisitionType;
constexpr char kFormat[] = ":WAV:FORM WORD;UNS 0;BYT MSBF";
// x increment 2 us, x origin -1 ms, y increment 0.5 V, y origin 0.25 V, y reference 100.
constexpr char kPreamble[] = "1,0,7,1,+2.0E-06,-1.0E-03,0,+5.0E-01,+2.5E-01,100";

using test::Query;

// A definite-length block of 16-bit words, most significant byte first.
std::string Block(const std::vector<int>& words) {
  std::string bytes;
  for (int w : words) {
    bytes += static_cast<char>((w >> 8) & 0xFF);
    bytes += static_cast<char>(w & 0xFF);
  }
  std::string length = std::to_string(bytes.size());
  return "#" + std::to_string(length.size()) + length + bytes;
}

std::vector<double> Values(SAFEARRAY* sa) {
  std::vector<double> v;
  if (!sa) return v;
  SafeArrayAccess<double> data(sa);
  v.assign(data.data(), data.data() + data.size());
  return v;
}

class WaveformTransfer : public ::testing::Test {
 protected:
  // A connected Bormo two-channel model, not simulating, checking the status after each command.
  void SetUp() override {
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    io_->ExpectConnect("DSO-BR70-2CH", "SGM");
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid(), std::move(io)));
    ASSERT_EQ(S_OK, root_->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr("")));
    operation_ = Query<IIviDriverOperation>(root_.get());
    io_->Expect("*CLS");
    io_->Expect("*ESR?", "+0");
    ASSERT_EQ(S_OK, operation_->put_QueryInstrumentStatus(VARIANT_TRUE));
    ASSERT_TRUE(io_->AllConsumed());
    io_->sent.clear();
    io_->timeoutAtCommand.clear();
  }

  ComPtr<IKorvaneMeasurement> Measurement(const char* name) {
    auto measurements = Query<IKorvaneMeasurements>(root_.get());
    ComPtr<IKorvaneMeasurement> item;
    EXPECT_EQ(S_OK, measurements->get_Item(Bstr(name), item.Receive()));
    return item;
  }

  // A command followed by the status check that QueryInstrumentStatus adds.
  void ExpectChecked(std::string command, std::string reply = {}) {
    io_->Expect(std::move(command), std::move(reply));
    io_->Expect("*ESR?", "+0");
  }

  ComInit com_;
  test::ScriptedIoSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
  ComPtr<IIviDriverOperation> operation_;
};

TEST_F(WaveformTransfer, FetchSendsItsCommandsInOrderAndScalesEveryWord) {
  ExpectChecked(":WAV:SOUR CHAN1");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  // No status check after the block: it is switched off for the transfer.
  io_->Expect("WAV:DATA?", Block({100, 101, 98, -32768, 32767}));
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  ASSERT_EQ(S_OK, Measurement("Channel1")->FetchWaveform(wave.Receive(), &initialX, &xIncrement))
      << TakeErrorInfo().description;
  EXPECT_TRUE(io_->AllConsumed());
  std::vector<double> v = Values(wave.get());
  ASSERT_EQ(v.size(), 5u);
  // The y reference gives the y origin exactly.
  EXPECT_EQ(v[0], 0.25);
  EXPECT_DOUBLE_EQ(v[1], 0.75);
  EXPECT_DOUBLE_EQ(v[2], -0.75);
  EXPECT_DOUBLE_EQ(v[3], (-32768 - 100) * 0.5 + 0.25);
  EXPECT_DOUBLE_EQ(v[4], (32767 - 100) * 0.5 + 0.25);
  EXPECT_DOUBLE_EQ(initialX, -1e-3);
  EXPECT_DOUBLE_EQ(xIncrement, 2e-6);
  // The settings switched for the transfer are back.
  EXPECT_TRUE(io_->swapBytes);
  VARIANT_BOOL status = VARIANT_FALSE;
  EXPECT_EQ(S_OK, operation_->get_QueryInstrumentStatus(&status));
  EXPECT_EQ(status, VARIANT_TRUE);
}

TEST_F(WaveformTransfer, ReadMinMaxSplitsPairsUnderTheCallersTimeout) {
  ExpectChecked(":WAV:SOUR CHAN2");
  ExpectChecked(":WAV:TYPE?", "PEAK");
  ExpectChecked(":DIG");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", Block({98, 102, 99, 101, 100, 100, 7}));
  SafeArrayPtr lows, highs;
  DOUBLE initialX = 0, xIncrement = 0;
  ASSERT_EQ(S_OK,
            Measurement("Channel2")->ReadWaveformMinMax(7000, lows.Receive(), highs.Receive(), &initialX, &xIncrement))
      << TakeErrorInfo().description;
  EXPECT_TRUE(io_->AllConsumed());
  // Seven elements make three pairs; the odd one out is dropped.
  EXPECT_EQ(Values(lows.get()), (std::vector<double>{-0.75, -0.25, 0.25}));
  EXPECT_EQ(Values(highs.get()), (std::vector<double>{1.25, 0.75, 0.25}));
  // The preamble and the block wait as long as the caller allows; the session's own timeout
  // is back afterwards.
  ASSERT_EQ(io_->timeoutAtCommand.size(), 11u);
  EXPECT_EQ(io_->timeoutAtCommand[6], 2000);   // the format command
  EXPECT_EQ(io_->timeoutAtCommand[8], 7000);   // the preamble
  EXPECT_EQ(io_->timeoutAtCommand[10], 7000);  // the block
  EXPECT_EQ(io_->timeout, 2000);
}

TEST_F(WaveformTransfer, MinMaxNeedsPeakDetectAndFailsAfterTheSourceWasWritten) {
  ExpectChecked(":WAV:SOUR CHAN1");
  ExpectChecked(":WAV:TYPE?", "NORM");
  SafeArrayPtr lows, highs;
  DOUBLE initialX = 0, xIncrement = 0;
  EXPECT_EQ(kInvalidAcquisitionType,
            Measurement("Channel1")->FetchWaveformMinMax(lows.Receive(), highs.Receive(), &initialX, &xIncrement));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("Invalid acquisition type."));
  EXPECT_TRUE(io_->AllConsumed());
  EXPECT_FALSE(lows);
}

TEST_F(WaveformTransfer, AFailedBlockReadGivesBackTimeoutStatusCheckAndByteOrder) {
  ExpectChecked(":WAV:SOUR CHAN1");
  ExpectChecked(":DIG");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", "ERR not a block");
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  auto item = Measurement("Channel1");
  EXPECT_TRUE(FAILED(item->ReadWaveform(9000, wave.Receive(), &initialX, &xIncrement)));
  EXPECT_FALSE(wave);
  EXPECT_EQ(io_->deviceClears, 1);  // the rest of the reply must not answer the next query
  EXPECT_EQ(io_->timeout, 2000);
  EXPECT_TRUE(io_->swapBytes);
  VARIANT_BOOL status = VARIANT_FALSE;
  EXPECT_EQ(S_OK, operation_->get_QueryInstrumentStatus(&status));
  EXPECT_EQ(status, VARIANT_TRUE);

  // The session goes on as before: the next transfer checks the status again.
  ExpectChecked(":WAV:SOUR CHAN1");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", Block({100}));
  ASSERT_EQ(S_OK, item->FetchWaveform(wave.Receive(), &initialX, &xIncrement)) << TakeErrorInfo().description;
  EXPECT_EQ(Values(wave.get()), std::vector<double>{0.25});
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(WaveformTransfer, TheIviClassItemForwardsToTheMeasurementOfTheSameName) {
  auto measurements = Query<IIviScopeMeasurements>(root_.get());
  ComPtr<IIviScopeMeasurement> item;
  ASSERT_EQ(S_OK, measurements->get_Item(Bstr("Channel2"), item.Receive()));
  ExpectChecked(":WAV:SOUR CHAN2");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", Block({101, 99}));
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  ASSERT_EQ(S_OK, item->FetchWaveform(wave.Receive(), &initialX, &xIncrement)) << TakeErrorInfo().description;
  EXPECT_EQ(Values(wave.get()), (std::vector<double>{0.75, -0.25}));
  EXPECT_TRUE(io_->AllConsumed());

  // Only a NaN is an invalid element; the instrument's out-of-range codes scale to numbers.
  VARIANT_BOOL invalid = VARIANT_FALSE;
  EXPECT_EQ(S_OK, measurements->IsWaveformElementInvalid(std::numeric_limits<double>::quiet_NaN(), &invalid));
  EXPECT_EQ(invalid, VARIANT_TRUE);
  EXPECT_EQ(S_OK, measurements->IsWaveformElementInvalid(9.9e37, &invalid));
  EXPECT_EQ(invalid, VARIANT_FALSE);
  EXPECT_EQ(S_OK, measurements->IsWaveformElementInvalid(std::numeric_limits<double>::infinity(), &invalid));
  EXPECT_EQ(invalid, VARIANT_FALSE);
}

TEST_F(WaveformTransfer, SimulationHandsOutNoiseWithoutIo) {
  ASSERT_EQ(S_OK, operation_->put_Simulate(VARIANT_TRUE));
  SafeArrayPtr lows, highs;
  DOUBLE initialX = 1, xIncrement = 1;
  ASSERT_EQ(S_OK,
            Measurement("Channel1")->ReadWaveformMinMax(100, lows.Receive(), highs.Receive(), &initialX, &xIncrement));
  for (SAFEARRAY* sa : {lows.get(), highs.get()}) {
    std::vector<double> v = Values(sa);
    ASSERT_EQ(v.size(), 100u);
    for (double x : v) {
      EXPECT_GE(x, 0.0);
      EXPECT_LE(x, 327.67);
    }
  }
  EXPECT_EQ(initialX, 0.0);
  EXPECT_EQ(xIncrement, 0.0);
  auto waveform = Query<IKorvaneWaveform>(root_.get());
  SafeArrayPtr preamble;
  ASSERT_EQ(S_OK, waveform->Preamble(preamble.Receive()));
  EXPECT_EQ(Values(preamble.get()), std::vector<double>(10, 0.0));
  auto measurements = Query<IKorvaneMeasurements>(root_.get());
  VARIANT_BOOL invalid = VARIANT_TRUE;
  EXPECT_EQ(S_OK, measurements->IsWaveformElementInvalid(std::numeric_limits<double>::quiet_NaN(), &invalid));
  EXPECT_EQ(invalid, VARIANT_FALSE);
  EXPECT_TRUE(io_->sent.empty());
}

TEST_F(WaveformTransfer, SettingsFollowTheSourceAndTheModel) {
  auto waveform = Query<IKorvaneWaveform>(root_.get());
  // A serial bus delivers text only; a digital bus no bytes.
  ExpectChecked("WAV:SOUR?", "SBUS1");
  EXPECT_TRUE(FAILED(waveform->put_DataFormat(KorvaneWaveformDataFormatByte)));
  std::string refusal = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, refusal.find("put_DataFormat")) << refusal;
  ExpectChecked("WAV:SOUR?", "BUS1");
  EXPECT_TRUE(FAILED(waveform->put_DataFormat(KorvaneWaveformDataFormatByte)));
  ExpectChecked("WAV:SOUR?", "BUS1");
  ExpectChecked("WAV:FORM WORD");
  EXPECT_EQ(S_OK, waveform->put_DataFormat(KorvaneWaveformDataFormatWord));
  ExpectChecked("WAV:SOUR?", "CHAN1");
  ExpectChecked("WAV:FORM BYTE");
  EXPECT_EQ(S_OK, waveform->put_DataFormat(KorvaneWaveformDataFormatByte));

  ExpectChecked(":WAV:SOUR?", "CHAN2");
  Bstr source;
  ASSERT_EQ(S_OK, waveform->get_Source(source.Receive()));
  EXPECT_EQ(source.Narrow(), "Channel2");
  ExpectChecked(":WAV:SOUR CHAN2");
  EXPECT_EQ(S_OK, waveform->put_Source(Bstr("Channel2")));
  ExpectChecked(":WAV:SOUR FUNC");
  EXPECT_EQ(S_OK, waveform->put_Source(Bstr("Math")));
  // A two-channel model without digital channels and with two reference memories.
  for (const char* bad : {"Channel3", "POD1", "WMEM3", "Channel"})
    EXPECT_TRUE(FAILED(waveform->put_Source(Bstr(bad)))) << bad;
  EXPECT_TRUE(io_->AllConsumed());

  ExpectChecked(":WAV:PRE?", kPreamble);
  SafeArrayPtr fields;
  ASSERT_EQ(S_OK, waveform->Preamble(fields.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(Values(fields.get()), (std::vector<double>{1, 0, 7, 1, 2e-6, -1e-3, 0, 0.5, 0.25, 100}));
}

// A preamble that would scale to NaN volts or a zero time step is refused, naming the field; the
// caller's outputs stay as they were and the next fetch works.
TEST_F(WaveformTransfer, NonFiniteOrZeroScalingFieldsAreRefusedByName) {
  struct Case {
    const char* preamble;
    const char* field;
  } cases[] = {
      {"1,0,7,1,0,-1.0E-03,0,+5.0E-01,+2.5E-01,100", "x increment"},
      {"1,0,7,1,+2.0E-06,nan,0,+5.0E-01,+2.5E-01,100", "x origin"},
      {"1,0,7,1,+2.0E-06,-1.0E-03,0,inf,+2.5E-01,100", "y increment"},
      {"1,0,7,1,+2.0E-06,-1.0E-03,0,+5.0E-01,1e999,100", "y origin"},
      {"1,0,7,1,+2.0E-06,-1.0E-03,0,+5.0E-01,+2.5E-01,ten", "y reference"},
  };
  auto item = Measurement("Channel1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.preamble);
    ExpectChecked(":WAV:SOUR CHAN1");
    ExpectChecked(kFormat);
    ExpectChecked(":WAV:PRE?", c.preamble);
    SafeArrayPtr wave;
    DOUBLE initialX = 7, xIncrement = 7;
    EXPECT_TRUE(FAILED(item->FetchWaveform(wave.Receive(), &initialX, &xIncrement)));
    std::string text = TakeErrorInfo().description;
    EXPECT_NE(std::string::npos, text.find(std::string("preamble's ") + c.field)) << text;
    EXPECT_FALSE(wave);
    EXPECT_TRUE(io_->AllConsumed());
  }
  ExpectChecked(":WAV:SOUR CHAN1");
  ExpectChecked(kFormat);
  ExpectChecked(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", Block({100}));
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  ASSERT_EQ(S_OK, item->FetchWaveform(wave.Receive(), &initialX, &xIncrement)) << TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(xIncrement, 2e-6);
}

// The preamble's point count sizes the kept block storage; a block longer than it
// announces is refused, and a count that is not a whole number leaves the block its own size.
TEST_F(WaveformTransfer, ThePreamblesPointCountBoundsTheBlock) {
  struct Case {
    const char* points;
    std::vector<int> words;
    bool ok;
  } cases[] = {
      {"5", {100, 101, 98, 100, 102}, true},
      {"9", {101, 99}, true},
      {"4", {100, 101, 98, 100, 102}, false},
      {"0", {100}, false},
      {"many", {100, 101, 98, 100, 102, 99, 101, 100, 100}, true},
      {"-3", {101, 99}, true},
  };
  auto item = Measurement("Channel1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.points);
    ExpectChecked(":WAV:SOUR CHAN1");
    ExpectChecked(kFormat);
    ExpectChecked(":WAV:PRE?", std::string("1,0,") + c.points + ",1,+2.0E-06,-1.0E-03,0,+5.0E-01,+2.5E-01,100");
    io_->Expect("WAV:DATA?", Block(c.words));
    SafeArrayPtr wave;
    DOUBLE initialX = 7, xIncrement = 7;
    const HRESULT hr = item->FetchWaveform(wave.Receive(), &initialX, &xIncrement);
    EXPECT_TRUE(io_->AllConsumed());
    if (!c.ok) {
      EXPECT_TRUE(FAILED(hr));
      EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("points its preamble announces"));
      EXPECT_FALSE(wave);
      continue;
    }
    ASSERT_EQ(S_OK, hr) << TakeErrorInfo().description;
    std::vector<double> expected;
    for (int w : c.words) expected.push_back((w - 100) * 0.5 + 0.25);
    EXPECT_EQ(Values(wave.get()), expected);
  }
}

// The flat API arms its callers' buffers as the thread's destination: the points land there,
// cut to their capacity, and no array is handed out. A destination of the wrong shape is left
// alone and the arrays come back as on COM.
TEST_F(WaveformTransfer, AnArmedDestinationTakesThePointsInsteadOfAnArray) {
  struct Case {
    bool minMax;
    int buffers;
    std::size_t capacity;
    std::vector<double> first, second;  // what the buffers hold afterwards
  } cases[] = {
      {false, 1, 3, {0.25, 0.75, -0.75}, {}},
      {false, 1, 0, {}, {}},
      {false, 1, 9, {0.25, 0.75, -0.75, 0.25, 1.25}, {}},
      {true, 2, 8, {0.25, -0.75}, {0.75, 0.25}},
      {true, 1, 8, {}, {}},  // a pair needs two buffers
      {false, 2, 8, {}, {}},
  };
  auto item = Measurement("Channel2");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.minMax << " " << c.buffers << " " << c.capacity);
    ExpectChecked(":WAV:SOUR CHAN2");
    if (c.minMax) ExpectChecked(":WAV:TYPE?", "PEAK");
    ExpectChecked(kFormat);
    ExpectChecked(":WAV:PRE?", kPreamble);
    io_->Expect("WAV:DATA?", Block({100, 101, 98, 100, 102}));
    std::vector<double> a(9, 99.0), b(9, 99.0);
    WaveformDestination& d = ThreadWaveformDestination();
    d = {};
    d.buffers[0] = a.data();
    d.buffers[1] = b.data();
    d.armed = c.buffers;
    d.capacity = c.capacity;
    SafeArrayPtr first, second;
    DOUBLE initialX = 0, xIncrement = 0;
    const HRESULT hr = c.minMax ? item->FetchWaveformMinMax(first.Receive(), second.Receive(), &initialX, &xIncrement)
                                : item->FetchWaveform(first.Receive(), &initialX, &xIncrement);
    const WaveformDestination seen = d;
    d = {};
    ASSERT_EQ(S_OK, hr) << TakeErrorInfo().description;
    EXPECT_TRUE(io_->AllConsumed());
    EXPECT_DOUBLE_EQ(xIncrement, 2e-6);
    const bool taken = c.buffers == (c.minMax ? 2 : 1);
    EXPECT_EQ(seen.used, taken);
    if (!taken) {
      EXPECT_EQ(Values(first.get()).size(), c.minMax ? 2u : 5u);
      EXPECT_EQ(a, std::vector<double>(9, 99.0));
      continue;
    }
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(seen.written, c.first.size());
    EXPECT_EQ(std::vector<double>(a.begin(), a.begin() + static_cast<long>(c.first.size())), c.first);
    EXPECT_EQ(a[c.first.size()], 99.0) << "nothing is written past the points";
    if (c.minMax) {
      EXPECT_EQ(std::vector<double>(b.begin(), b.begin() + 2), c.second);
    }
  }
}

// The caller's [in, out] array is filled where it is when it already has the result's shape;
// any other array is replaced (and freed). One array given for both halves of a pair takes one
// half and is freed exactly once.
TEST_F(WaveformTransfer, ACallersArrayOfTheResultsShapeIsFilledInPlace) {
  auto vector = [](VARTYPE vt, LONG lower, ULONG count) { return SafeArrayCreateVector(vt, lower, count); };
  struct Case {
    const char* what;
    bool minMax;
    SAFEARRAY* given;   // the caller's array, owned by the case
    bool sameVariable;  // a pair read into one variable
    bool kept;          // the first result is the given array
  } cases[] = {
      {"doubles from 0, as many", false, vector(VT_R8, 0, 5), false, true},
      {"one point short", false, vector(VT_R8, 0, 4), false, false},
      {"one point more", false, vector(VT_R8, 0, 6), false, false},
      {"from 1", false, vector(VT_R8, 1, 5), false, false},
      {"singles", false, vector(VT_R4, 0, 5), false, false},
      {"pair, the array in both", true, vector(VT_R8, 0, 2), false, true},
      {"pair, one variable", true, vector(VT_R8, 0, 2), true, false},
  };
  auto item = Measurement("Channel2");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectChecked(":WAV:SOUR CHAN2");
    if (c.minMax) ExpectChecked(":WAV:TYPE?", "PEAK");
    ExpectChecked(kFormat);
    ExpectChecked(":WAV:PRE?", kPreamble);
    io_->Expect("WAV:DATA?", Block({100, 101, 98, 100, 102}));
    SAFEARRAY* first = c.given;
    SAFEARRAY* second = c.given;
    DOUBLE initialX = 0, xIncrement = 0;
    HRESULT hr;
    if (!c.minMax) hr = item->FetchWaveform(&first, &initialX, &xIncrement);
    else if (c.sameVariable) hr = item->FetchWaveformMinMax(&first, &first, &initialX, &xIncrement);
    else hr = item->FetchWaveformMinMax(&first, &second, &initialX, &xIncrement);
    SafeArrayPtr firstOwned(first), secondOwned(c.minMax && !c.sameVariable && second != first ? second : nullptr);
    ASSERT_EQ(S_OK, hr) << TakeErrorInfo().description;
    EXPECT_TRUE(io_->AllConsumed());
    EXPECT_EQ(first == c.given, c.kept);
    if (!c.minMax) {
      EXPECT_EQ(Values(first), (std::vector<double>{0.25, 0.75, -0.75, 0.25, 1.25}));
    } else if (c.sameVariable) {
      EXPECT_EQ(Values(first), (std::vector<double>{0.75, 0.25})) << "the variable holds the second half";
    } else {
      EXPECT_EQ(Values(first), (std::vector<double>{0.25, -0.75}));
      EXPECT_NE(second, first);
      EXPECT_EQ(Values(second), (std::vector<double>{0.75, 0.25}));
    }
    LONG lower = -1;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(first, 1, &lower));
    EXPECT_EQ(lower, 0);
  }
}

// A getter whose status check fails after the reply was scanned leaves the caller's variable
// emptied, not holding a value the call did not vouch for.
TEST_F(WaveformTransfer, AFailedGetterHandsOutNoPartOfItsReply) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  io_->Expect(":TIM:SCAL?", "7.8e119");
  io_->Expect("*ESR?", "+32");
  DOUBLE scale = 42;
  EXPECT_TRUE(FAILED(timebase->get_HorizontalScale(&scale)));
  EXPECT_EQ(scale, 0.0);
  EXPECT_TRUE(io_->AllConsumed());
}

}  // namespace
}  // namespace korvane
