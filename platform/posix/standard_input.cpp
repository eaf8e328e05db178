#include "platform/standard_input.h"

#include <unistd.h>

#include <cerrno>

long ReadStandardInput(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t count = read(STDIN_FILENO, buffer, capacity);
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) return -1;
  }
}
