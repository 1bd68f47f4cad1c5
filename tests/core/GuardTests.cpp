// The shared RAII helpers: what they put back, and what a caught exception becomes.
#include "platform/Guard.h"
#include "base/ScopeGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace korvane {
namespace {

// A driver-style session and a VISA-COM-style one; both log the timeouts they were given.
struct DriverStyle {
  LONG timeout = 2000;
  HRESULT getResult = S_OK;
  std::vector<LONG> sets;
  HRESULT GetTimeout(LONG* ms) {
    *ms = timeout;
    return getResult;
  }
  HRESULT SetTimeout(LONG ms) {
    sets.push_back(ms);
    timeout = ms;
    return S_OK;
  }
};
struct VisaStyle {
  LONG timeout = 2000;
  std::vector<LONG> sets;
  HRESULT get_Timeout(LONG* ms) {
    *ms = timeout;
    return S_OK;
  }
  HRESULT put_Timeout(LONG ms) {
    sets.push_back(ms);
    timeout = ms;
    return S_OK;
  }
};

TEST(ScopedTimeout, PutsTheFirstSavedValueBack) {
  struct Case {
    const char* name;
    std::vector<LONG> setsInScope;
    std::vector<LONG> expectedSets;
  } cases[] = {
      {"one set", {50}, {50, 2000}},
      {"two sets keep the original", {50, 70}, {50, 70, 2000}},
      {"keep changes nothing", {kKeepSessionTimeout}, {}},
  };
  for (const Case& c : cases) {
    DriverStyle session;
    {
      ScopedTimeout scoped(session);
      for (LONG ms : c.setsInScope) {
        if (ms != kKeepSessionTimeout) {
          EXPECT_EQ(scoped.Set(ms), S_OK);
        }
      }
      ScopedTimeout keep(session, kKeepSessionTimeout);
      EXPECT_FALSE(keep.saved()) << c.name;
    }
    EXPECT_EQ(session.sets, c.expectedSets) << c.name;
    EXPECT_EQ(session.timeout, 2000) << c.name;
  }
}

TEST(ScopedTimeout, RestoresOnceAndLeavesAFailedSaveAlone) {
  DriverStyle session;
  {
    ScopedTimeout scoped(session, 10);
    EXPECT_EQ(scoped.hr(), S_OK);
    EXPECT_EQ(scoped.Restore(), S_OK);
  }
  EXPECT_EQ(session.sets, (std::vector<LONG>{10, 2000}));

  DriverStyle broken;
  broken.getResult = E_FAIL;
  {
    ScopedTimeout scoped(broken, 10);
    EXPECT_EQ(scoped.hr(), E_FAIL);
  }
  EXPECT_TRUE(broken.sets.empty());

  VisaStyle visa;
  { ScopedTimeout scoped(visa, 30); }
  EXPECT_EQ(visa.sets, (std::vector<LONG>{30, 2000}));
}

TEST(ScopeGuard, RunsOnceUnlessDismissed) {
  int runs = 0;
  {
    ScopeGuard guard([&]() noexcept { ++runs; });
    guard.Run();
  }
  EXPECT_EQ(runs, 1);
  {
    ScopeGuard guard([&]() noexcept { ++runs; });
    guard.Dismiss();
  }
  EXPECT_EQ(runs, 1);
  bool flag = false;
  {
    auto restore = ScopedValue(flag, true);
    EXPECT_TRUE(flag);
  }
  EXPECT_FALSE(flag);
}

TEST(Guarded, TurnsExceptionsIntoResults) {
  EXPECT_EQ(Guarded([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(Guarded([]() -> HRESULT { throw 42; }), E_UNEXPECTED);
  EXPECT_EQ(Guarded([] { return S_FALSE; }), S_FALSE);

  std::string seen;
  HRESULT hr = Guarded([]() -> HRESULT { throw std::runtime_error("parse"); },
                       [&](const CaughtException& e) {
                         seen = e.what ? e.what : "";
                         return E_FAIL;
                       });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(seen, "parse");
  // A handler that throws too still gives an HRESULT.
  hr = Guarded([]() -> HRESULT { throw std::bad_alloc(); },
               [](const CaughtException&) -> HRESULT { throw std::runtime_error("again"); });
  EXPECT_EQ(hr, E_OUTOFMEMORY);
}

TEST(Guarded, APolicyGivesItsOwnStatus) {
  struct Codes {
    using Status = int;
    static int From(const CaughtException& e) noexcept { return e.outOfMemory ? -1 : -2; }
  };
  EXPECT_EQ(Guarded<Codes>([]() -> int { throw std::bad_alloc(); }), -1);
  EXPECT_EQ(Guarded<Codes>([]() -> int { throw 42; }), -2);
  EXPECT_EQ(Guarded<Codes>([] { return 7; }), 7);
  EXPECT_EQ(Guarded<Codes>([]() -> int { throw std::bad_alloc(); }, [](const CaughtException&) -> int { throw 1; }),
            -1);
}

}  // namespace
}  // namespace korvane
