#include "platform/standard_input.h"

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>

long ReadStandardInput(char* buffer, std::size_t capacity) {
  // Text mode would turn CR LF into LF and stop at a Ctrl-Z: the message is read as it is.
  static const bool binary = _setmode(_fileno(stdin), _O_BINARY) != -1;
  (void)binary;
  const unsigned count = capacity > INT_MAX ? INT_MAX : static_cast<unsigned>(capacity);
  int read = _read(_fileno(stdin), buffer, count);
  return read < 0 ? -1 : read;
}
