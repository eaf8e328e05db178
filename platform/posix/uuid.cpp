// Random UUIDs (RFC 4122 version 4) from the kernel's random source: one getrandom call
// each, where a UUID library would also seed its own generator with several system
// calls per UUID, and its loading would cost every run.
//
// A UUID is always made and nothing is raised: the callers are constructors and header
// lines that have no way to report a failure. Where getrandom fails (ENOSYS on an old
// kernel, EPERM under a seccomp filter, EAGAIN before the kernel's pool is ready, as it
// is never waited for) /dev/urandom is read instead; where that cannot be read either,
// the UUID is made of the time, the process id and a counter, which is still unique on
// this machine.
#include "platform/uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {

constexpr std::size_t uuidBytes = 16;
constexpr char hexDigits[] = "0123456789abcdef";

// Fills bytes from the kernel without waiting for its pool; false where it cannot.
bool FillFromGetrandom(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t filled = 0; filled < count;) {
    const ssize_t got = getrandom(bytes + filled, count - filled, GRND_NONBLOCK);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

// Fills bytes from /dev/urandom, which never blocks; false where it cannot be read.
bool FillFromDevice(std::uint8_t* bytes, std::size_t count) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t got = read(fd, bytes + filled, count - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  return filled == count;
}

void PutBigEndian(std::uint8_t* at, std::uint64_t value, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
}

// The last resort: the real time in nanoseconds, the process id and a counter of this
// process, placed where the version and variant bits do not overwrite them. Two
// processes differ in their id, two UUIDs of one process in their time or counter.
void FillUnique(std::uint8_t* bytes) {
  static std::atomic<std::uint32_t> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto nanoseconds =
      static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
  const std::uint32_t count = counter.fetch_add(1, std::memory_order_relaxed);
  std::uint8_t time[8];
  PutBigEndian(time, nanoseconds, sizeof time);
  for (std::size_t i = 0; i < 6; ++i) bytes[i] = time[i];
  bytes[6] = static_cast<std::uint8_t>(count >> 16);  // its high bits become the version
  bytes[7] = time[6];
  bytes[8] = static_cast<std::uint8_t>(count >> 24);  // its high bits become the variant
  bytes[9] = time[7];
  PutBigEndian(bytes + 10, static_cast<std::uint32_t>(getpid()), 4);
  PutBigEndian(bytes + 14, count, 2);
}

}  // namespace

std::string NewUuidText() {
  std::uint8_t uuid[uuidBytes];
  if (!FillFromGetrandom(uuid, sizeof uuid) && !FillFromDevice(uuid, sizeof uuid)) FillUnique(uuid);
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
