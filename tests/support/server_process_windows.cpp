// What server_process.h gives a Windows test program. Its servers run natively, started
// by the launcher that runs the program, so only the calls that need no process are here
// (FreePort is in free_port.cpp).
#include "tests/support/server_process.h"

// Windows has no SIGPIPE: a send to a closed peer fails with an error of its own.
void IgnoreSigpipe() {}
