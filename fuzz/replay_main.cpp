// Runs files, and every file below directories, through a fuzz target the way
// libFuzzer runs a corpus, so that a corpus replays as an ordinary test with
// any compiler. Each input is passed in an allocation of exactly its size.
//
// Usage: replay [-max_len=N] [-require] path...
//   -max_len=N  pass at most the first N bytes of each file, as libFuzzer does
//   -require    fail when a path is missing (otherwise it is skipped)
// Files named README* or *.md are notes, not inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool IsInput(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.rfind("README", 0) != 0 && path.extension() != ".md";
}

void RunOne(const fs::path& path, size_t maxLen) {
  const size_t size = std::min<size_t>(fs::file_size(path), maxLen);
  std::unique_ptr<uint8_t[]> input(new uint8_t[size]);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(input.get()), static_cast<std::streamsize>(size));
  LLVMFuzzerTestOneInput(input.get(), static_cast<size_t>(in.gcount()));
}

}  // namespace

int main(int argc, char** argv) {
  size_t maxLen = SIZE_MAX;
  bool require = false;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-max_len=", 0) == 0) {
      maxLen = std::strtoull(arg.c_str() + 9, nullptr, 10);
    } else if (arg == "-require") {
      require = true;
    } else if (fs::is_directory(arg)) {
      for (const auto& entry : fs::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file() && IsInput(entry.path())) files.push_back(entry.path());
      }
    } else if (fs::is_regular_file(arg)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "%s: %s not found\n", require ? "error" : "skipped", arg.c_str());
      if (require) return 2;
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) RunOne(file, maxLen);
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
