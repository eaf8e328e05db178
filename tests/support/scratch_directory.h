// A private directory under the system's temporary folder for the files a test writes,
// removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "emailer-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }

  // Writes a file of the given bytes and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string file = (path / name).string();
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  std::filesystem::path path;
};
