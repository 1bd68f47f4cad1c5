// One session, four threads, each setting and reading back its own channel's offset while reading
// a setting nobody changes: a reply that reaches the wrong thread shows as a wrong value.
#include "AnsiCSim.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

using AnsiCSharedSession = AnsiCSim;

TEST_F(AnsiCSharedSession, FourThreadsSeeOnlyTheirOwnValues) {
  const double scale = 2e-4;
  ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_timebase_horizontal_scale_set(s_, scale));
  constexpr int kThreads = 4, kRounds = 100;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string channel = "Channel" + std::to_string(t + 1);
      for (int k = 0; k < kRounds; ++k) {
        const double offset = ((t + 1) * 125 + k) / 1000.0;
        double back = 0, shared = 0;
        if (KVScope_channels_offset_set(s_, channel.c_str(), offset) != KVSCOPE_SUCCESS ||
            KVScope_channels_offset_get(s_, channel.c_str(), &back) != KVSCOPE_SUCCESS ||
            KVScope_timebase_horizontal_scale_get(s_, &shared) != KVSCOPE_SUCCESS) {
          ++failed;
          continue;
        }
        if (back != offset || shared != scale) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
