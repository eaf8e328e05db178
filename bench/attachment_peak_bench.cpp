// Peak memory of rendering one attachment body of the largest size accepted by default
// (50 MiB): the file's bytes, its Base64 text in the part and the copy handed out.
// Prints the process's peak resident size before and after. Takes no arguments.
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "mime/body_part.h"

namespace {

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Written in 1 MiB blocks, so making the file does not raise the peak itself.
void WriteRandomFile(const std::string& path, std::size_t size) {
  std::mt19937 rng(3);
  std::string block(1 << 20, '\0');
  std::ofstream out(path, std::ios::binary);
  for (std::size_t written = 0; written < size; written += block.size()) {
    for (char& c : block) c = static_cast<char>(rng());
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
  }
}

}  // namespace

int main() {
  const std::size_t size = CTAVSMTPBodyPart::defaultMaxAttachmentSize;
  std::string dir = (std::filesystem::temp_directory_path() / "emailer-peak-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  const std::string path = dir + "/attachment.bin";
  WriteRandomFile(path, size);

  const long before = PeakResidentKiB();
  CTAVSMTPBodyPart part;
  part.attachmentPath = path;
  auto body = part.RenderBody(true);
  const long after = PeakResidentKiB();
  std::filesystem::remove_all(dir);
  if (!body) return 1;
  std::printf("attachment of %zu MiB: Base64 body of %.1f MiB; peak resident %.1f MiB "
              "(%.1f MiB before rendering)\n",
              size >> 20, static_cast<double>(body->size()) / (1 << 20), static_cast<double>(after) / 1024,
              static_cast<double>(before) / 1024);
  return 0;
}
