// Runs a fuzz target without libFuzzer: every seed once, then deterministic mutations of the
// seeds (byte flips, insertions, deletions, splices) for the given number of iterations.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern const char* const kFuzzSeeds[];

int main(int argc, char** argv) {
  const long iterations = argc > 1 ? std::atol(argv[1]) : 10000;
  std::vector<std::string> seeds;
  for (const char* const* s = kFuzzSeeds; *s; ++s) seeds.emplace_back(*s);
  for (const auto& s : seeds) LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());

  std::mt19937 rng(12345);
  const std::string alphabet = " ,=:;\"'#0123456789+-.eE?*abcxyzABCXYZ\r\n\t\\%!{}[]";
  for (long i = 0; i < iterations; ++i) {
    std::string in = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const size_t pos = in.empty() ? 0 : rng() % (in.size() + 1);
      switch (rng() % 5) {
        case 0:
          if (!in.empty() && pos < in.size()) in[pos] = static_cast<char>(rng() & 0xFF);
          break;
        case 1: in.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
        case 2:
          if (pos < in.size()) in.erase(pos, 1 + rng() % 4);
          break;
        case 3: in.insert(pos, seeds[rng() % seeds.size()]); break;
        default: in.insert(pos, rng() % 64, alphabet[rng() % alphabet.size()]); break;
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  }
  std::printf("%ld inputs ran\n", iterations + static_cast<long>(seeds.size()));
  return 0;
}
