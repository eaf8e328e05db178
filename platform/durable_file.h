// Files that a crash leaves whole or not at all: a new file is written under a
// temporary name in its folder, written to disk, renamed into place and the folder
// written to disk too, so after any crash the name holds the old file or the new one
// whole. Moves and removals are written to disk before they return. None of these
// raises: a failure comes back as the reason, which names the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The prefix of the temporary files of this service; names that start with it are
// never entries of their own, and are left behind only by a crash.
inline constexpr std::string_view temporaryFilePrefix = ".tmp-";

class CDurableFile {
 public:
  CDurableFile() = default;
  CDurableFile(const CDurableFile&) = delete;
  CDurableFile& operator=(const CDurableFile&) = delete;
  ~CDurableFile() { Discard(); }

  // Creates a new temporary file in folder, readable and writable by its owner alone
  // (mode 0600), and with groupReadable (a shared folder, private_folder.h) readable by
  // the folder's group too (0640; on Windows no difference). Empty, or why it failed.
  std::string Create(const std::string& folder, bool groupReadable = false);
  // Appends bytes. Empty, or why it failed.
  std::string Write(std::string_view bytes);
  // Writes the file to disk, closes it and renames it to path (in the same folder,
  // replacing a file there), then writes the folder to disk. Empty once the file is in
  // place for good; the reason otherwise (the temporary file then removed).
  std::string Commit(const std::string& path);
  // Removes the temporary file; nothing once committed.
  void Discard();

  const std::string& TemporaryPath() const { return temporaryPath; }

 private:
  std::intptr_t handle = -1;  // the descriptor; on Windows the file handle
  std::string temporaryPath;
};

// Replaces the file path with bytes as a CDurableFile does (groupReadable as in Create).
// Empty, or why it failed.
std::string ReplaceFileDurably(const std::string& path, std::string_view bytes, bool groupReadable = false);
// Renames from to to (a file, possibly in another folder of the same volume),
// replacing a file there, and writes both folders to disk. Empty, or why it failed.
std::string MoveFileDurably(const std::string& from, const std::string& to);
// Removes the file path (a missing one is no failure) and writes its folder to disk.
// Empty, or why it failed.
std::string RemoveFileDurably(const std::string& path);
