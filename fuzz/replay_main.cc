// Runs the fuzz target over saved inputs without libFuzzer, so that the seed
// corpus, and any crash input added to it, replays as an ordinary test under
// every compiler and sanitizer. Arguments are files or directories; a
// directory contributes the regular files directly inside it.
//
// Single-threaded.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t nInputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    std::vector<fs::path> files;
    if (fs::is_directory(argv[i], error)) {
      for (const fs::directory_entry& entry :
           fs::directory_iterator(argv[i], error)) {
        if (entry.is_regular_file(error)) files.push_back(entry.path());
      }
      // A fixed order makes a failure reproducible from the log.
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(argv[i], error)) {
      files.push_back(argv[i]);
    }
    if (error || files.empty()) {
      std::fprintf(stderr, "no inputs in %s\n", argv[i]);
      return 1;
    }
    for (const fs::path& file : files) {
      std::vector<uint8_t> bytes;
      if (!ReadFile(file, &bytes)) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return 1;
      }
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++nInputs;
    }
  }
  std::printf("replayed %zu inputs\n", nInputs);
  return nInputs > 0 ? 0 : 1;
}
