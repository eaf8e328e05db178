// Files of the program's state that hold secrets (the OAuth 2.0 tokens): NAME in
// ${XDG_STATE_HOME:-$HOME/.local/state}/e-mailer/, mode 0600 in a folder of mode 0700,
// always replaced whole (a temporary file renamed over it), and a lock that runs take
// in turn around a read-change-write of such a file. None of these raises: a failure
// comes back with the reason, which names the path.
#pragma once

#include <cstdint>
#include <string>

struct StateFileRead {
  enum Outcome { Read, Missing, Failed };
  Outcome outcome = Failed;
  std::string bytes;  // the whole file when Read
  std::string error;  // why, with the path, when Failed
};

// The path of the state file name.
std::string StateFilePath(const std::string& name);

// The bytes of the state file name (at most 1 MiB; a larger file fails).
StateFileRead ReadStateFile(const std::string& name);

// Replaces the state file name with bytes, creating the folders on its way (0700): a
// temporary file of mode 0600 beside it is written, synced and renamed over it, so a
// reader sees the old file or the new one, never a part. Empty, or the reason it failed
// (nothing then replaced).
std::string WriteStateFile(const std::string& name, const std::string& bytes);

// An exclusive lock on the state file name (a lock file of its own beside it, so the
// renames of WriteStateFile keep it), held while the object lives and released when the
// process ends however it ends. Waits at most timeout milliseconds for a run that holds
// it.
class CStateFileLock {
 public:
  CStateFileLock(const std::string& name, std::uint32_t timeout);
  CStateFileLock(const CStateFileLock&) = delete;
  CStateFileLock& operator=(const CStateFileLock&) = delete;
  ~CStateFileLock();

  // Empty when the lock is held, else why it is not.
  const std::string& Error() const { return error; }

 private:
  int fd = -1;
  std::string error;
};
