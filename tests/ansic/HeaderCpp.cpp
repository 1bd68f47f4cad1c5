// kvscope.h compiled as C++: the enumerations take their fixed 32-bit type, the functions C
// linkage (the C client proves the same header as C99).
#include <kvscope.h>

#include <gtest/gtest.h>

#include <type_traits>

static_assert(std::is_same_v<std::underlying_type_t<KVScopeTriggerSlope>, int32_t>);
static_assert(std::is_same_v<decltype(&KVScope_init), int32_t (*)(const char*, bool, bool, KVScopeSession*)>);
static_assert(KVSCOPE_INVALID_SESSION == nullptr);

TEST(AnsiCHeader, StatusesAreNegativeErrorsAndPositiveWarnings) {
  EXPECT_LT(KVSCOPE_ERROR_INVALID_SESSION, 0);
  EXPECT_LT(KVSCOPE_ERROR_BUFFER_TOO_SMALL, 0);
  EXPECT_LT(KVSCOPE_ERROR_NULL_POINTER, 0);
  EXPECT_GT(KVSCOPE_WARNING_ID_QUERY_NOT_SUPPORTED, 0);
  EXPECT_EQ(KVSCOPE_SUCCESS, 0);
}
