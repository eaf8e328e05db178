// Opening an address in the user's browser, where there is one.
#pragma once

#include <string>

// Starts the desktop's opener for url (xdg-open on Linux) without waiting for it, its
// output discarded. False when none could be started. Never raises.
bool OpenInBrowser(const std::string& url);
