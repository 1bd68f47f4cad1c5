// The settings generated from the catalogue: stored and answered in canonical form, sized by
// the repeated capabilities, errors as for the hand-made ones, and no hand-made row that hides
// a generated one while refusing what the driver sends there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimTestUtil.h"

using namespace korvane::sim;
using test::drainErrors;

namespace {

struct RoundTrip {
  const char* write;
  const char* query;
  const char* answer;
};

void expectRoundTrips(CInstrument& inst, std::initializer_list<RoundTrip> cases) {
  for (const RoundTrip& c : cases) {
    inst.execute(c.write);
    EXPECT_EQ(inst.query(c.query), c.answer) << c.write;
    EXPECT_TRUE(drainErrors(inst).empty()) << c.write;
  }
}

int rowsUnder(const CSettingStore& store, std::string_view prefix) {
  int n = 0;
  for (const CSettingStore::Row& r : store.rows())
    if (std::string_view(r.def->pattern).substr(0, prefix.size()) == prefix) ++n;
  return n;
}

}  // namespace

TEST(SimGenerated, SettingsAcrossAreasAnswerInCanonicalForm) {
  CInstrument inst;
  expectRoundTrips(inst, {
                             // trigger: pattern, runt, zone
                             {":TRIG:PATT:QUAL OUTR", ":TRIG:PATT:QUAL?", "OUTR"},
                             {":TRIGger:PATTern:GREaterthan 2.5e-6", ":TRIG:PATT:GRE?", "+2.500000000E-06"},
                             {":TRIG:RUNT:QUAL lessthan", ":TRIG:RUNT:QUAL?", "LESS"},
                             {":TRIGger:RUNT:POLarity NEGative", ":trig:runt:pol?", "NEG"},
                             {":TRIG:RUNT:TIME 1E-8", ":TRIG:RUNT:TIME?", "+1.000000000E-08"},
                             {":TRIG:ZONE:SOUR CHAN2", ":TRIG:ZONE:SOUR?", "CHAN2"},
                             // serial bus: numbers, tokens, quoted and unquoted patterns
                             {":SBUS2:UART:BAUD 19200", ":SBUS2:UART:BAUD?", "19200"},
                             {":SBUS2:UART:PAR EVEN", ":SBUS2:UART:PARity?", "EVEN"},
                             {":SBUS1:CAN:TRIG:PATT:DATA \"0x12AB\"", ":SBUS1:CAN:TRIG:PATT:DATA?", "\"0x12AB\""},
                             {":SBUS1:IIC:TRIG:PATT:ADDR 0x50", ":SBUS1:IIC:TRIG:PATT:ADDR?", "0x50"},
                             // waveform generator: root and numbered
                             {":WGEN2:FUNC squ", ":WGEN2:FUNCtion?", "SQU"},
                             {":WGEN2:FREQ 1e4", ":WGEN2:FREQ?", "+1.000000000E+04"},
                             {":WGEN:OUTP ON", ":WGEN:OUTP?", "1"},
                             // mask test and voltmeter
                             {":MTES:ENAB 1", ":MTES:ENAB?", "1"},
                             {":MTES:RMOD WAV", ":MTES:RMOD?", "WAV"},
                             {":DVM:MODE DCRM", ":DVM:MODE?", "DCRM"},
                             {":DVM:ARAN OFF", ":DVM:ARAN?", "0"},
                             // a mode or a time on one header
                             {":DISP:PERS INF", ":DISP:PERS?", "INF"},
                             {":DISP:PERS 2.5", ":DISP:PERS?", "+2.500000000E+00"},
                         });
  // Only the standard abbreviations of known words have long forms.
  expectRoundTrips(inst, {{":SEARch:GLITch:SOURce CHAN1", ":SEAR:GLIT:SOUR?", "CHAN1"}});
  inst.execute(":SEARCHES:GLIT:SOUR CHAN1");
  EXPECT_EQ(drainErrors(inst), std::vector<int>{-113});
}

TEST(SimGenerated, ItemsAreSeparateAndResetRestoresTheCatalogueDefaults) {
  CInstrument inst;
  inst.execute(":SBUS1:UART:BAUD 9600;:SBUS2:UART:BAUD 115200;:WGEN1:FREQ 1e3;:WGEN2:FREQ 2e3");
  EXPECT_EQ(inst.query(":SBUS1:UART:BAUD?;:SBUS2:UART:BAUD?"), "9600;115200");
  EXPECT_EQ(inst.query(":WGEN1:FREQ?;:WGEN2:FREQ?"), "+1.000000000E+03;+2.000000000E+03");
  inst.execute(":SBUS3:UART:BAUD 1");
  inst.execute(":WGEN3:FREQ 1");
  EXPECT_EQ(drainErrors(inst), (std::vector<int>{-114, -114}));

  CInstrument mso({.model = "MSO-BR70"});
  mso.execute(":DIG0:DISP 1;:DIG7:DISP 1");
  EXPECT_EQ(mso.query(":DIG0:DISP?;:DIG7:DISP?"), "1;1");
  mso.execute(":DIG8:DISP 1");
  EXPECT_EQ(drainErrors(mso), std::vector<int>{-114}) << "eight digital channels, 0 to 7";

  inst.execute(":MTES:LOCK 0;:SBUS1:UART:PAR ODD;:DVM:MODE FREQ");
  inst.execute("*RST");
  EXPECT_EQ(inst.query(":MTES:LOCK?;:SBUS1:UART:PAR?;:DVM:MODE?;:SBUS1:UART:BAUD?"), "1;NONE;DC;0");
}

TEST(SimGenerated, BadInputGivesTheStandardErrorsAndKeepsTheValue) {
  CInstrument inst;
  inst.execute("*CLS;:TRIG:RUNT:QUAL GRE");
  const struct {
    const char* command;
    int code;
  } cases[] = {
      {":TRIG:RUNT:NOPE 1", -113},
      {":TRIG:RUNT:QUAL SIDEWAYS", -224},
      {":TRIG:RUNT:QUAL 3", -104},
      {":TRIG:RUNT:QUAL", -109},
      {":TRIG:RUNT:QUAL LESS,GRE", -108},
      {":SBUS1:UART:BAUD abc", -104},
      {":SBUS1:CAN:TRIG:PATT:DATA 12", -104},
      {":TRIG:RUNT:QUAL? 1", -108},
  };
  for (const auto& c : cases) {
    inst.execute(c.command);
    EXPECT_EQ(drainErrors(inst), std::vector<int>{c.code}) << c.command;
  }
  EXPECT_EQ(inst.query(":TRIG:RUNT:QUAL?"), "GRE");
  EXPECT_EQ(inst.query("*ESR?"), "48") << "command and execution error bits";
}

TEST(SimGenerated, RowCountsFollowTheCatalogue) {
  // The UART and voltmeter properties of the driver, one header each (the two sources are
  // hand-made rows: the driver writes them with the instrument's channel names; so are the
  // read-only counters and readings).
  static const char* const kUart[] = {"BASE",      "BAUD",      "BIT",       "FRAM",      "PAR",       "POL",
                                      "SOUR:RX",   "SOUR:TX",   "TRIG:BASE", "TRIG:BURS", "TRIG:DATA", "TRIG:IDLE",
                                      "TRIG:QUAL", "TRIG:TYPE", "WIDT",      "COUN:ERR",  "COUN:RXFR", "COUN:TXFR"};
  static const char* const kDvm[] = {"ARAN", "ENAB", "MODE", "SOUR", "CURR", "FREQ"};
  CInstrument inst;
  std::vector<std::string> headers;
  for (const char* h : kUart)
    for (int bus : {1, 2}) headers.push_back(":SBUS" + std::to_string(bus) + ":UART:" + h);
  for (const char* h : kDvm) headers.push_back(std::string(":DVM:") + h);
  for (const std::string& h : headers) {
    inst.query(h + "?");
    EXPECT_TRUE(drainErrors(inst).empty()) << h;
  }

  CSettingStore store(ModelInfo{4, 16});
  EXPECT_EQ(rowsUnder(store, ":SBUS#:UART:"), static_cast<int>(std::size(kUart)));
  EXPECT_EQ(rowsUnder(store, ":DVM:"), static_cast<int>(std::size(kDvm)));
  EXPECT_EQ(store.rows().size() - store.handRows() + store.shadowed().size(), generatedSettingsTable().size());
}

TEST(SimGenerated, HandMadeRowsAcceptEveryTokenOfTheRowsTheyHide) {
  CSettingStore store(ModelInfo{4, 16});
  ASSERT_FALSE(store.shadowed().empty());
  for (const SettingRow* gen : store.shadowed()) {
    if (gen->type != SettingType::Enum || !*gen->tokens) continue;
    const HeaderPattern p = parsePattern(gen->pattern);
    std::vector<std::string> words;
    for (const PatternNode& n : p.nodes) words.push_back(n.shortForm + (n.suffix ? "1" : ""));
    std::vector<int> suffixes;
    int hand = -1;
    for (size_t i = 0; i < store.handRows() && hand < 0; ++i)
      if (matchHeader(store.rows()[i].pattern, words, suffixes)) hand = static_cast<int>(i);
    ASSERT_GE(hand, 0) << gen->pattern;
    for (const std::string& t : test::split(gen->tokens, '|'))
      EXPECT_FALSE(matchToken(store.rows()[hand].tokens, shortFormOf(t)).empty())
          << store.rows()[hand].def->pattern << " refuses " << t << " that the driver sends";
  }
}
