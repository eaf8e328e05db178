// The socket start-up on Linux: a closed peer must come back from a write as an error.
#include <csignal>

#include "platform/win_app.h"

bool AfxSocketInit() {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}
