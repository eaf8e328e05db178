// A private directory under the system's temporary folder for the files a test writes,
// removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class ScratchDirectory {
 public:
  // A fresh name until one is free: create_directory makes it only when nothing has it.
  ScratchDirectory() {
    std::random_device random;
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      std::filesystem::path candidate = temp / ("emailer-test-" + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path = candidate;
    }
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
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
