// libFuzzer start-up: an empty (or missing) corpus directory given on the command line is
// filled with the target's own seeds first, so that a short run starts from valid inputs.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

extern const char* const kFuzzSeeds[];

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  namespace fs = std::filesystem;
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] == '-') continue;
    std::error_code ec;
    const fs::path dir(arg);
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) break;  // a single input to replay
    fs::create_directories(dir, ec);
    if (!fs::is_empty(dir, ec)) break;
    int n = 0;
    for (const char* const* s = kFuzzSeeds; *s; ++s) {
      std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
      // Seeds are C strings; one that starts with a NUL stands for a single zero byte.
      const std::size_t len = **s ? std::char_traits<char>::length(*s) : 1;
      out.write(*s, static_cast<std::streamsize>(len));
    }
    break;
  }
  return 0;
}
