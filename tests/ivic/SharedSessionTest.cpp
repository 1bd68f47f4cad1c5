// One session shared by four threads against the simulator: each thread writes and reads back
// its own channel's offset while reading a setting that nobody changes. A reply that reaches the
// wrong thread, or a command sent between another thread's write and read, shows as a wrong
// value. A fifth thread sends direct queries, holding the session around each write and read.
#include <Korvane.h>

#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using korvane::sim::test::SimProcess;

TEST(IvicSharedSession, FourThreadsSeeOnlyTheirOwnValues) {
  SimProcess sim({"--port", "0", "--model", "MSO-CD1000"});
  ASSERT_GT(sim.port(), 0);
  std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim.port()) + "::SOCKET";
  ViSession vi = VI_NULL;
  ASSERT_EQ(VI_SUCCESS, Korvane_init(resource.data(), VI_TRUE, VI_TRUE, &vi));
  // The cache would answer reads without the instrument; every read goes to it here.
  ASSERT_EQ(VI_SUCCESS, Korvane_SetAttributeViBoolean(vi, "", KORVANE_ATTR_CACHE, VI_FALSE));
  const ViReal64 timePerRecord = 2e-3;
  ASSERT_EQ(VI_SUCCESS, Korvane_SetAttributeViReal64(vi, "", KORVANE_ATTR_HORZ_TIME_PER_RECORD, timePerRecord));

  constexpr int kThreads = 4, kRounds = 150;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string channel = "Channel" + std::to_string(t + 1);
      for (int k = 0; k < kRounds; ++k) {
        // Distinct per thread and round; a quotient by 1000 is the double the instrument's
        // decimal text reads back as.
        const ViReal64 offset = ((t + 1) * 125 + k) / 1000.0;
        ViReal64 back = 0, shared = 0;
        if (Korvane_SetAttributeViReal64(vi, channel.c_str(), KORVANE_ATTR_VERTICAL_OFFSET, offset) != VI_SUCCESS ||
            Korvane_GetAttributeViReal64(vi, channel.c_str(), KORVANE_ATTR_VERTICAL_OFFSET, &back) != VI_SUCCESS ||
            Korvane_GetAttributeViReal64(vi, "", KORVANE_ATTR_HORZ_TIME_PER_RECORD, &shared) != VI_SUCCESS) {
          ++failed;
          continue;
        }
        if (back != offset || shared != timePerRecord) {
          if (wrong++ < 5)
            std::printf("%s: offset %.17g read %.17g, time per record %.17g\n", channel.c_str(), offset, back, shared);
        }
      }
    });
  }
  std::atomic<int> directWrong{0}, directFailed{0};
  threads.emplace_back([&] {
    for (int k = 0; k < kRounds; ++k) {
      ViBoolean held = VI_FALSE;
      char reply[512] = {};
      if (Korvane_LockSession(vi, &held) != VI_SUCCESS) {
        ++directFailed;
        continue;
      }
      const bool ok = Korvane_SystemWriteString(vi, "*IDN?") == VI_SUCCESS &&
                      Korvane_SystemReadString(vi, sizeof reply, reply) == VI_SUCCESS;
      if (Korvane_UnlockSession(vi, &held) != VI_SUCCESS || held || !ok) ++directFailed;
      else if (std::string(reply).find("MSO-CD1000") == std::string::npos && directWrong++ < 5)
        std::printf("direct query read '%s'\n", reply);
    }
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(0, directFailed.load());
  EXPECT_EQ(0, directWrong.load());
  EXPECT_EQ(VI_SUCCESS, Korvane_close(vi));
}

}  // namespace
