#include "io/ByteSwap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace korvane::test {
namespace {

// Every element width, at counts on both sides of the wide steps and from an odd address:
// each element reversed on its own, and nothing past the last one touched.
TEST(ByteSwapTest, ReversesEachElementAndNothingElse) {
  for (std::size_t size : {1u, 2u, 3u, 4u, 8u}) {
    for (std::size_t count = 0; count <= 70; ++count) {
      SCOPED_TRACE(testing::Message() << size << "-byte elements, " << count);
      const std::size_t bytes = size * count;
      std::vector<BYTE> data(bytes + 3);
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 37 + 11);
      std::vector<BYTE> want = data;
      for (std::size_t i = 0; i < count; ++i)
        std::reverse(want.begin() + 1 + i * size, want.begin() + 1 + (i + 1) * size);
      SwapElements(data.data() + 1, count, size);
      ASSERT_EQ(data, want);
    }
  }
}

}  // namespace
}  // namespace korvane::test
