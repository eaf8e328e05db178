// Records of secrets that the program keeps between runs (the OAuth 2.0 tokens), each
// under a name, and a lock that runs take in turn around a read-change-write of one.
// On Linux a record is the file NAME in ${XDG_STATE_HOME:-$HOME/.local/state}/e-mailer/,
// mode 0600 in a folder of mode 0700, always replaced whole (a temporary file renamed
// over it); the lock is flock on a lock file beside it. None of these raises: a failure
// comes back with the reason, which names the record's place.
#pragma once

#include <cstdint>
#include <string>

struct SecretRecordRead {
  enum Outcome { Read, Missing, Failed };
  Outcome outcome = Failed;
  std::string bytes;  // the whole record when Read
  std::string error;  // why, with the place, when Failed
};

// Where the record name is kept, for the user (a path on Linux).
std::string SecretRecordPlace(const std::string& name);

// The bytes of the record name (at most 1 MiB; a larger one fails). On Linux a record
// that another user could have read or replaced fails, naming the file or folder: the
// file and its folder must be the user's own with no access for others, and the folder
// above writable by no one else (root and a sticky folder aside).
SecretRecordRead ReadSecretRecord(const std::string& name);

// Replaces the record name with bytes, so that a reader sees the old record or the new
// one, never a part (on Linux: creating the folders on its way, 0700, and writing,
// syncing and renaming a temporary file of mode 0600). Empty, or the reason it failed
// (nothing then replaced).
std::string WriteSecretRecord(const std::string& name, const std::string& bytes);

// An exclusive lock on the record name, held while the object lives and released when
// the process ends however it ends. Waits at most timeout milliseconds for a run that
// holds it.
class CSecretRecordLock {
 public:
  CSecretRecordLock(const std::string& name, std::uint32_t timeout);
  CSecretRecordLock(const CSecretRecordLock&) = delete;
  CSecretRecordLock& operator=(const CSecretRecordLock&) = delete;
  ~CSecretRecordLock();

  // Empty when the lock is held, else why it is not.
  const std::string& Error() const { return error; }

 private:
  std::intptr_t handle = -1;  // the lock file's descriptor; on Windows the mutex
  std::string error;
};
