// Overwriting secrets (a password, a token, and every text that carries one) before
// their memory is given back, so that no copy lingers in freed memory for a later
// allocation, a memory dump or a swap file to show.
#pragma once

#include <cstddef>
#include <string>

// Overwrites size bytes at data with zeros in a way the compiler cannot leave out as a
// store that nothing reads (OPENSSL_cleanse).
void SecureClear(void* data, std::size_t size);
// Overwrites the whole storage of text, its unused capacity too, and leaves it empty.
void SecureClear(std::string& text);

// Clears a text (as SecureClear) when it goes, whichever way its scope is left. A text
// that holds a secret must not grow past its capacity while guarded: the storage it
// leaves behind would not be cleared, so such a text is made whole in one allocation.
class ClearOnExit {
 public:
  explicit ClearOnExit(std::string& guarded) : text(guarded) {}
  ClearOnExit(const ClearOnExit&) = delete;
  ClearOnExit& operator=(const ClearOnExit&) = delete;
  ~ClearOnExit() { SecureClear(text); }

 private:
  std::string& text;
};
