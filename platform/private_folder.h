// Folders and files that belong to this user alone, and the system's shared spool: what
// another user could read or change is refused before it is read, since a queued message
// or a token in it is the user's own mail or secret.
#pragma once

#include <string>

// Creates path and every missing folder on its way, each readable by its owner alone
// (mode 0700). Empty, or why it failed.
std::string MakePrivateFolder(const std::string& path);

// Empty when path is a folder (isFolder) or a regular file that this user owns and that
// no other user may read, write or enter (group and others have no access bit), and that
// is no symbolic link; otherwise why not, naming path. On Windows the user's profile
// keeps its folders to the user: empty when path exists as the kind asked.
std::string PrivatePathProblem(const std::string& path, bool isFolder);

// The system's spool is shared by every user through the program's group (the sendmail
// of e-mailer-mta is set-group-ID to it): its folders are open to their owner and group
// alone, and what a user queues is theirs, readable by the group, changed by no one else.

// Creates the folder path (its parent must exist) with mode 2770: owner and group may use
// it, and what is made in it takes its group; a folder of the caller's own with another
// mode (a run stopped between mkdir and chmod) gets that mode. Empty, or why it failed.
// On Windows as MakePrivateFolder.
std::string MakeSharedFolder(const std::string& path);

// What a run may do with path in a shared folder. problem: empty when it may be used at
// all, that is a folder (isFolder) or a regular file, no symbolic link, that gives other
// users no access bit, a file whose group cannot write it either; otherwise why not,
// naming path. callers: a file that this user owns, a folder that this user keeps (owns,
// or root); only the keeper of the spool sees every user's entries. On Windows the
// problem of PrivatePathProblem, and every path is the caller's.
struct SharedPathCheck {
  std::string problem;
  bool callers = false;
};
SharedPathCheck CheckSharedPath(const std::string& path, bool isFolder);

// Makes sure an empty file path exists in a shared folder (mode 0640 when it is made),
// following no symbolic link and keeping what a file already there holds. Empty, or why
// it failed.
std::string TouchSharedFile(const std::string& path);

// The user id that owns path (a symbolic link's own); -1 when it cannot be looked at, and
// always on Windows.
long FileOwner(const std::string& path);
