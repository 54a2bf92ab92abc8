// SPDX-License-Identifier: Apache-2.0
// Stand-in for the fuzzing engine where there is none (GCC, or clang without
// libFuzzer): runs the target once on every file named on the command line,
// directories taken file by file in name order. Options starting with '-'
// (the engine's own, such as -runs=0) are ignored, so the same command line
// replays a corpus with or without the engine.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!arg.empty() && arg[0] == '-') {
      continue;
    }
    if (fs::is_directory(arg)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(arg)) {
      inputs.emplace_back(arg);
    } else {
      std::cerr << "replay: no such file or directory: " << arg << std::endl;
      return 1;
    }
  }
  if (inputs.empty()) {
    std::cerr << "replay: no inputs" << std::endl;
    return 1;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cout << "replayed " << inputs.size() << " inputs" << std::endl;
  return 0;
}
