// The option string of _init_with_options as the object model's Initialize reads it.
#include "ansic/Options.h"

#include <korvane/KorvaneErrors.h>

#include <gtest/gtest.h>

namespace {

using korvane::ansic::OptionsToInitString;

TEST(AnsiCOptions, TranslatesSessionOptionsAndDriverSettings) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"", ""},
      {"simulate=true", "Simulate=true"},
      {" simulate = true ; cache=false;", "Simulate=true, Cache=false"},
      {"query_instrument_status=true;range_check=false", "QueryInstrStatus=true, RangeCheck=false"},
      // The driver's own settings go into DriverSetup, last, whatever order they came in.
      {"model=MSO-CD1000;simulate=true;io_log=stderr", "Simulate=true, DriverSetup= Model=MSO-CD1000, IoLog=stderr"},
  };
  for (const Row& r : rows) {
    std::string out = "stale", error;
    EXPECT_EQ(S_OK, OptionsToInitString(r.in, out, error)) << r.in;
    EXPECT_EQ(r.out, out) << r.in;
  }
}

TEST(AnsiCOptions, RejectsWhatInitializeWouldMisread) {
  struct Row {
    const char* in;
    HRESULT code;
  } rows[] = {
      {"simulate", korvane::hresult::OptionMissingValue},
      {"simulate=", korvane::hresult::OptionMissingValue},
      {"=true", korvane::hresult::OptionMissingName},
      {"Simulate=true", korvane::hresult::OptionNameUnknown},  // names are lower snake case
      {"colour=red", korvane::hresult::OptionNameUnknown},
      {"model=A,Simulate=true", korvane::hresult::OptionValueUnknown},
  };
  for (const Row& r : rows) {
    std::string out, error;
    EXPECT_EQ(r.code, OptionsToInitString(r.in, out, error)) << r.in;
    EXPECT_FALSE(error.empty()) << r.in;
  }
}

}  // namespace
