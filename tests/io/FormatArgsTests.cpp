// The argument rules of the format engine's typed entry points: which C++ types are taken, and
// that the widened values read back through the engine as the caller wrote them.
#include "io/FormatArgs.h"

#include "base/ErrorReporter.h"
#include "io/FormattedIo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace korvane {
namespace {

enum Slope : LONG { kFalling = -1, kRising = 1 };
enum class Wide : long long { kBig = 1 };

// What the entry points accept and refuse, decided when this file compiles.
static_assert(format::WriteArg<short> && format::WriteArg<unsigned char> && format::WriteArg<float> &&
              format::WriteArg<LONGLONG> && format::WriteArg<Slope> && format::WriteArg<VARIANT_BOOL>);
static_assert(format::WriteArg<const char*> && format::WriteArg<BSTR> && format::WriteArg<const std::string*> &&
              format::WriteArg<const double*> && format::WriteArg<SAFEARRAY*>);
static_assert(!format::WriteArg<std::string> && !format::WriteArg<Wide> && !format::WriteArg<long double> &&
              !format::WriteArg<const VARIANT*>);
static_assert(format::ReadArg<LONG*> && format::ReadArg<double*> && format::ReadArg<BSTR*> &&
              format::ReadArg<std::string*> && format::ReadArg<SAFEARRAY**> && format::ReadArg<Slope*> &&
              format::ReadArg<VARIANT_BOOL*> && format::ReadArg<char*>);
static_assert(!format::ReadArg<float*> && !format::ReadArg<const LONG*> && !format::ReadArg<bool*> &&
              !format::ReadArg<Wide*> && !format::ReadArg<LONG>);

struct NoContext : ICallContextProvider {
  HRESULT PushCallContext(const CMethodInfo*) override { return S_OK; }
  void PopCallContext() override {}
  const CMethodInfo* CurrentCallContext() override { return nullptr; }
};

class FormatArgsTest : public ::testing::Test {
 protected:
  // The way the typed entry points call the engine: each argument widened once, into a list.
  template <typename... A>
  std::string Format(const char* format, A... args) {
    std::string out;
    CFormattedIo::CCStringWriter sink(out);
    auto values = format::Args(args...);
    format::ArgList list(values);
    EXPECT_EQ(engine.Printf(sink, format, &list), S_OK) << format;
    return out;
  }
  NoContext context;
  CKorvaneErrorReporter reporter{&context};
  CFormattedIo engine{&reporter};
};

TEST_F(FormatArgsTest, NarrowAndWideValuesReadBackAsWritten) {
  struct Case {
    std::string got;
    const char* expected;
  } cases[] = {
      {Format("%d", static_cast<short>(-7)), "-7"},
      {Format("%d", static_cast<unsigned char>(200)), "200"},
      {Format("%d", VARIANT_BOOL(-1)), "-1"},
      {Format("%d,%d", kFalling, kRising), "-1,1"},
      {Format("%Id", static_cast<LONGLONG>(1) << 40), "1099511627776"},
      {Format("%.3f", 0.125f), "0.125"},
      {Format("%d %s %.1f", 3, "on", 2.5), "3 on 2.5"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace
}  // namespace korvane
