// Folders and files that belong to this user alone: what another user could read or
// change is refused before it is read, since a queued message or a token in it is the
// user's own mail or secret.
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
