// An exclusive lock that runs of the program take in turn: a lock on a file of its own,
// which the system releases when its holder ends however it ends.
#pragma once

#include <cstdint>
#include <string>

class CFileLock {
 public:
  // Creates the file path (mode 0640, so that the group of a shared spool can lock it
  // too; locking needs read access alone) when missing and locks it, waiting at most timeout
  // milliseconds for a run that holds it (0: only tries).
  CFileLock(const std::string& path, std::uint32_t timeout);
  CFileLock(const CFileLock&) = delete;
  CFileLock& operator=(const CFileLock&) = delete;
  ~CFileLock();

  bool Held() const { return error.empty() && !busy; }
  // True when another run held the lock for the whole wait.
  bool Busy() const { return busy; }
  // Why the lock is not held (the file's path and the reason); empty when it is.
  const std::string& Error() const { return error; }

 private:
  std::intptr_t handle = -1;  // the descriptor; on Windows the file handle
  bool busy = false;
  std::string error;
};
