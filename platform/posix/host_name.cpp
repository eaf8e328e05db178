// The host name on Linux: gethostname.
#include "platform/host_name.h"

#include <unistd.h>

bool LocalHostName(char* buffer, std::size_t size) { return gethostname(buffer, size) == 0; }
