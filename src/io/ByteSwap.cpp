#include "io/ByteSwap.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace korvane {

namespace {

// Sixteen bytes at a time in the compiler's generic vectors: shifts and masks on lanes of the
// element's width, which every target lowers to plain vector instructions (SSE2 on x86-64)
// without needing the optimiser to vectorise a loop for us. A per-element bswap loop runs
// several times slower and used to cost more than the socket read of the same block.
typedef std::uint16_t U16x8 __attribute__((vector_size(16)));
typedef std::uint32_t U32x4 __attribute__((vector_size(16)));
typedef std::uint64_t U64x2 __attribute__((vector_size(16)));

struct Swap16 {
  using Word = std::uint16_t;
  using Vec = U16x8;
  static Word One(Word w) noexcept { return __builtin_bswap16(w); }
  static Vec Many(Vec v) noexcept { return (v << 8) | (v >> 8); }
};

struct Swap32 {
  using Word = std::uint32_t;
  using Vec = U32x4;
  static Word One(Word w) noexcept { return __builtin_bswap32(w); }
  static Vec Many(Vec v) noexcept {
    v = (v << 16) | (v >> 16);
    return ((v & 0x00FF00FFu) << 8) | ((v >> 8) & 0x00FF00FFu);
  }
};

struct Swap64 {
  using Word = std::uint64_t;
  using Vec = U64x2;
  static Word One(Word w) noexcept { return __builtin_bswap64(w); }
  static Vec Many(Vec v) noexcept {
    v = (v << 32) | (v >> 32);
    v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
    return ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
  }
};

// Loads and stores go through memcpy: block data need not be aligned to its element size. The
// pass runs from the end back to the start: right after a read the end of the data is what is
// still in cache, and a forward pass over a block larger than the cache would evict it before
// getting there.
template <typename S>
void SwapWords(BYTE* p, std::size_t count) noexcept {
  using Word = typename S::Word;
  using Vec = typename S::Vec;
  constexpr std::size_t kStep = 2 * sizeof(Vec) / sizeof(Word);  // two vectors keep both load ports busy
  const std::size_t whole = count / kStep * kStep;
  for (std::size_t i = count; i > whole;) {
    --i;
    Word w;
    std::memcpy(&w, p + i * sizeof w, sizeof w);
    w = S::One(w);
    std::memcpy(p + i * sizeof w, &w, sizeof w);
  }
  for (BYTE* q = p + whole * sizeof(Word); q != p;) {
    q -= 2 * sizeof(Vec);
    Vec a, b;
    std::memcpy(&a, q, sizeof a);
    std::memcpy(&b, q + sizeof a, sizeof b);
    a = S::Many(a);
    b = S::Many(b);
    std::memcpy(q, &a, sizeof a);
    std::memcpy(q + sizeof a, &b, sizeof b);
  }
}

}  // namespace

void SwapElements(BYTE* p, std::size_t count, std::size_t size) noexcept {
  switch (size) {
    case 0:
    case 1: return;
    case 2: return SwapWords<Swap16>(p, count);
    case 4: return SwapWords<Swap32>(p, count);
    case 8: return SwapWords<Swap64>(p, count);
    default:
      for (std::size_t i = 0; i < count; ++i, p += size) std::reverse(p, p + size);
  }
}

}  // namespace korvane
