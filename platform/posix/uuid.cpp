// Random UUIDs (RFC 4122 version 4) from the kernel's random source: one getrandom call
// each, where a UUID library would also seed its own generator with several system
// calls per UUID, and its loading would cost every run.
#include "platform/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

constexpr std::size_t uuidBytes = 16;
constexpr char hexDigits[] = "0123456789abcdef";

// Fills bytes from the kernel, waiting (once, early in a boot) for its pool to be ready.
void FillRandom(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t filled = 0; filled < count;) {
    const ssize_t got = getrandom(bytes + filled, count - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::system_error(errno, std::generic_category(), "random bytes for a UUID");
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace

std::string NewUuidText() {
  std::uint8_t uuid[uuidBytes];
  FillRandom(uuid, sizeof uuid);
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4: random
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < uuidBytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hexDigits[uuid[i] >> 4];
    text += hexDigits[uuid[i] & 0x0F];
  }
  return text;
}
