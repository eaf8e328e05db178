// The system's shared spool as the queue checks it: what is refused, and what is the
// caller's own.
#include "platform/private_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_config_home.h"

namespace {

TEST(SharedFolder, MadeOpenToOwnerAndGroupAlone) {
  TempConfigHome home;
  const std::string spool = home.base + "/spool";
  EXPECT_EQ(MakeSharedFolder(spool), "");
  EXPECT_EQ(TempConfigHome::Mode(spool), 02770u);
  EXPECT_EQ(MakeSharedFolder(spool), "");  // there already
  EXPECT_NE(MakeSharedFolder(home.base + "/missing/spool"), "");
}

TEST(SharedFolder, LoosePathsAreRefusedAndOthersEntriesAreNotTheCallers) {
  TempConfigHome home;
  struct Case {
    const char* name;
    bool isFolder;
    unsigned mode;
    uid_t owner;
    const char* problem;  // a part of the problem; "" for none
    bool callers;
  };
  const uid_t me = geteuid();
  const uid_t other = me + 1;
  for (const Case& c : {
           Case{"spool", true, 02770, me, "", true},
           Case{"open spool", true, 02777, me, "open to all users", true},
           Case{"root's spool", true, 02770, 0, "", me == 0},
           Case{"entry", false, 0640, me, "", true},
           Case{"others' entry", false, 0640, other, "", false},
           Case{"group-writable entry", false, 0660, me, "open to changes by its group", true},
           Case{"readable entry", false, 0644, me, "open to all users", true},
       }) {
    const std::string path = home.base + "/" + c.name;
    if (c.isFolder) {
      std::filesystem::create_directory(path);
    } else {
      std::ofstream(path) << "x";
    }
    chmod(path.c_str(), c.mode);
    if (c.owner != me && chown(path.c_str(), c.owner, static_cast<gid_t>(-1)) != 0) continue;  // not root
    const SharedPathCheck check = CheckSharedPath(path, c.isFolder);
    EXPECT_NE(check.problem.find(c.problem), std::string::npos) << c.name << ": " << check.problem;
    EXPECT_EQ(check.problem.empty(), *c.problem == '\0') << c.name << ": " << check.problem;
    EXPECT_EQ(check.callers, c.callers) << c.name;
  }
  std::filesystem::create_directory_symlink(home.base + "/spool", home.base + "/link");
  EXPECT_NE(CheckSharedPath(home.base + "/link", true).problem.find("is not a folder"), std::string::npos);
  EXPECT_NE(CheckSharedPath(home.base + "/spool", false).problem.find("is not a regular file"), std::string::npos);
}

}  // namespace
