#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "platform/posix/home_folder.h"
#include "platform/posix/reg_file_parser.h"
#include "platform/secure_clear.h"
#include "platform/terminal_text.h"

// One open key. The root is depth 0; "software" (the config directory) is 1, the
// company and product directories 2 and 3, the section file 4; the section's subkeys
// (5 and deeper) are further keys in the section's file.
struct RegistryKey {
  int depth;
  std::string path;      // the registry path, HKEY_CURRENT_USER\...
  std::string location;  // the directory or file that holds the key
  std::vector<RegValue> values;
  std::string userPath;  // a machine key: the user's path, which its file may name too
  // A key in a section file: every key of that file, as parsed.
  std::shared_ptr<const std::vector<RegKeySection>> fileKeys;
};

namespace {

RegistryKey currentUser{0, "HKEY_CURRENT_USER", "", {}, "", nullptr};

constexpr int sectionDepth = 4;
constexpr const char* keyFileSuffix = ".reg";
// A settings key is a few lines; anything far larger is not one of ours.
constexpr off_t maxKeyFileSize = 1 << 20;

LSTATUS StatusFromErrno(int error) {
  return error == ENOENT || error == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

bool IsKeyName(const char* name) {
  return name != nullptr && *name != '\0' && std::strpbrk(name, "/\\") == nullptr &&
         std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

constexpr const char* machineKeyFolder = "/etc/e-mailer";

std::string ConfigDirectory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const std::string home = UserHomeFolder();
  return home.empty() ? home : home + "/.config";
}

// mkdir for a key directory: 0700 whatever the umask, since a key may hold a password.
bool MakeKeyDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0) return errno == EEXIST;
  return chmod(path.c_str(), 0700) == 0;
}

// Creates the config directory and any missing parent of it, as the XDG rules ask.
LSTATUS MakeConfigDirectory(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!MakeKeyDirectory(path.substr(0, slash))) return StatusFromErrno(errno);
  }
  return MakeKeyDirectory(path) ? ERROR_SUCCESS : StatusFromErrno(errno);
}

// The entry of directory whose name equals wanted without regard to case (an exact
// match first); empty when there is none.
std::string FindEntry(const std::string& directory, const std::string& wanted) {
  struct stat st;
  if (stat((directory + "/" + wanted).c_str(), &st) == 0) return wanted;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (dirent* entry = readdir(dir)) {
    if (RegNamesEqual(entry->d_name, wanted)) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

// Writes a new key file holding the header and the key line. An existing file is
// never touched: when one appears first, it is the key.
LSTATUS CreateKeyFile(const std::string& location, const std::string& keyPath) {
  int fd = open(location.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? ERROR_SUCCESS : StatusFromErrno(errno);
  std::string text = Utf8FromAnsi("Windows Registry Editor Version 5.00\n\n[" + keyPath + "]\n");
  bool ok = fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  int error = errno;
  ok = close(fd) == 0 && ok;
  if (ok) return ERROR_SUCCESS;
  unlink(location.c_str());
  return StatusFromErrno(error);
}

// Says on standard error, once for each file and problem, why a key file that exists
// is not used: the user would otherwise see only what the missing settings cause.
void ReportKeyFileProblem(const std::string& location, const std::string& problem) {
  static std::set<std::string> reported;
  std::string line = location + problem + "; the defaults are used instead";
  if (reported.insert(line).second) WriteErrorLine(line);
}

// Why an existing key file could not be opened, after open failed with error.
std::string OpenProblem(const std::string& location, int error) {
  struct stat st;
  if (error == ENOENT && lstat(location.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return "a symbolic link to a missing file";
  }
  return std::strerror(error);
}

// The whole key file. Only a regular file is read (a FIFO or a device could block or
// never end, and O_NONBLOCK keeps the open of a FIFO from waiting for a writer); problem
// tells why a file that exists could not be read.
LSTATUS ReadKeyFile(const std::string& location, std::string* bytes, std::string* problem) {
  int fd = open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    struct stat st;
    if (error == ENOENT && lstat(location.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    *problem = ": " + OpenProblem(location, error);
    return StatusFromErrno(error);
  }
  struct stat st;
  LSTATUS status = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ERROR_SUCCESS : ERROR_BADKEY;
  if (status != ERROR_SUCCESS) *problem = ": not a regular file";
  char buffer[4096];
  while (status == ERROR_SUCCESS) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *problem = std::string(": ") + std::strerror(errno);
      status = StatusFromErrno(errno);
    }
    if (n <= 0) break;
    bytes->append(buffer, static_cast<std::size_t>(n));
    if (bytes->size() > static_cast<std::size_t>(maxKeyFileSize)) {
      *problem = ": the file is larger than 1 MiB";
      status = ERROR_BADDB;
    }
  }
  SecureClear(buffer, sizeof buffer);
  close(fd);
  return status;
}

// True when a file's key line names the key: its path or, in a machine key's file, the
// user's path.
bool NamesKey(const RegistryKey& key, std::string_view sectionPath) {
  return RegNamesEqual(sectionPath, key.path) || (!key.userPath.empty() && RegNamesEqual(sectionPath, key.userPath));
}

// The name of the key's direct subkey on whose path (or below) sectionPath lies; ""
// when it lies elsewhere.
std::string_view SubkeyOnPath(const RegistryKey& key, std::string_view sectionPath) {
  for (const std::string* path : {&key.path, &key.userPath}) {
    if (path->empty() || sectionPath.size() <= path->size() + 1 || sectionPath[path->size()] != '\\' ||
        !RegNamesEqual(sectionPath.substr(0, path->size()), *path)) {
      continue;
    }
    std::string_view rest = sectionPath.substr(path->size() + 1);
    return rest.substr(0, rest.find('\\'));
  }
  return {};
}

// The key's values among the keys of its file: those of every key line that names it,
// in file order.
void TakeKeyValues(RegistryKey& key) {
  for (const RegKeySection& section : *key.fileKeys) {
    if (!NamesKey(key, section.path)) continue;
    key.values.insert(key.values.end(), section.values.begin(), section.values.end());
  }
}

bool (*forgottenValues)(std::string_view name) = nullptr;

// Overwrites and drops the values that RegForgetValues names.
void ForgetValues(std::vector<RegKeySection>& sections) {
  if (forgottenValues == nullptr) return;
  for (RegKeySection& section : sections) {
    std::erase_if(section.values, [](RegValue& value) {
      if (!forgottenValues(value.name)) return false;
      SecureClear(value.data);
      return true;
    });
  }
}

// The values of the key in its file; ERROR_BADDB when the file is not a registry file.
// Sections naming other keys are not this key's values.
LSTATUS ParseKeyValues(RegistryKey& key, std::string_view bytes, std::string* problem) {
  RegParseError error;
  auto sections = ParseRegFile(bytes, &error);
  if (!sections) {
    *problem = ":" + std::to_string(error.line) + ": " + error.reason;
    return ERROR_BADDB;
  }
  ForgetValues(*sections);
  key.fileKeys = std::make_shared<const std::vector<RegKeySection>>(std::move(*sections));
  TakeKeyValues(key);
  return ERROR_SUCCESS;
}

// A subkey of a key in a section file: a key of the same file, found when the file has
// a key line on its path or below it. Nothing is created there (that would write the
// file), so a missing one is not found even when asked to be created.
LSTATUS LocateFileSubKey(const RegistryKey& parent, const char* name, RegistryKey* child) {
  for (const RegKeySection& section : *parent.fileKeys) {
    std::string_view subkey = SubkeyOnPath(parent, section.path);
    if (!RegNamesEqual(subkey, name)) continue;
    child->depth = parent.depth + 1;
    child->path = parent.path + "\\" + std::string(subkey);
    child->userPath = parent.userPath.empty() ? std::string() : parent.userPath + "\\" + std::string(subkey);
    child->location = parent.location;
    child->fileKeys = parent.fileKeys;
    TakeKeyValues(*child);
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

// Reads the key's file. A file that exists but cannot be read or parsed is reported.
LSTATUS LoadKeyValues(RegistryKey& key) {
  std::string bytes;
  std::string problem;
  LSTATUS status = ReadKeyFile(key.location, &bytes, &problem);
  if (status == ERROR_SUCCESS) status = ParseKeyValues(key, bytes, &problem);
  if (forgottenValues != nullptr) SecureClear(bytes);
  if (!problem.empty()) ReportKeyFileProblem(key.location, problem);
  return status;
}

// Whether a key directory grants the access asked for. Only reading is checked: values
// are never written, and creating a subkey needs write access to the directory, which
// the creation itself finds out. So a read-only settings folder is still read.
LSTATUS CheckKeyDirectory(const std::string& location, REGSAM access) {
  struct stat st;
  if (stat(location.c_str(), &st) != 0) return StatusFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return ERROR_BADKEY;
  bool read = (access & (KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS)) != 0;
  if (read && faccessat(AT_FDCWD, location.c_str(), R_OK | X_OK, AT_EACCESS) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

// Where the subkey name of parent lives, created when asked and missing. The returned
// key has its depth, path and location set.
LSTATUS LocateSubKey(const RegistryKey& parent, const char* name, bool create,
                     RegistryKey* child) {
  child->depth = parent.depth + 1;
  if (parent.depth == 0) {
    if (!RegNamesEqual(name, "software")) return ERROR_FILE_NOT_FOUND;
    child->path = parent.path + "\\" + name;
    child->location = ConfigDirectory();
    if (child->location.empty()) return ERROR_FILE_NOT_FOUND;
    return MakeConfigDirectory(child->location);
  }
  bool file = child->depth == sectionDepth;
  std::string wanted = file ? name + std::string(keyFileSuffix) : name;
  std::string entry = FindEntry(parent.location, wanted);
  bool missing = entry.empty();
  if (missing && !create) return ERROR_FILE_NOT_FOUND;
  if (missing) entry = wanted;
  std::string keyName = file ? entry.substr(0, entry.size() - std::strlen(keyFileSuffix)) : entry;
  child->path = parent.path + "\\" + keyName;
  child->location = parent.location + "/" + entry;
  if (!missing) return ERROR_SUCCESS;
  if (file) return CreateKeyFile(child->location, child->path);
  return MakeKeyDirectory(child->location) ? ERROR_SUCCESS : StatusFromErrno(errno);
}

// Why another user than the one running (or root) could change the file or folder at
// location; "" when no one else could. One that cannot be looked at is not vouched for.
// With shielding, a folder that others may write but whose sticky bit keeps them from
// replacing entries they do not own (such as /tmp) is vouched for.
std::string ExposureOf(const std::string& location, bool shielding = false) {
  struct stat st;
  if (stat(location.c_str(), &st) != 0) {
    return std::string("it cannot be checked: ") + std::strerror(errno);
  }
  std::string kind = S_ISDIR(st.st_mode) ? "the folder" : "the file";
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    return kind + " is owned by another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if (shielding && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) return {};
  if ((st.st_mode & S_IWOTH) != 0) return kind + " is writable by all users";
  if ((st.st_mode & S_IWGRP) != 0) return kind + " is writable by its group";
  return {};
}

// Where location is a symbolic link, why another user could change what it leads to:
// every folder above its target, up to the root, could put another file in its place.
// The location, a reason and the place it concerns; "" when no one else could.
std::string LinkTargetExposure(const std::string& location) {
  struct stat st;
  if (lstat(location.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {};
  std::unique_ptr<char, decltype(&std::free)> target(realpath(location.c_str(), nullptr), &std::free);
  if (target == nullptr) return location + ": it cannot be checked: " + std::strerror(errno);
  for (std::string folder = target.get(); folder != "/";) {
    folder.erase(std::max<std::size_t>(folder.rfind('/'), 1));
    std::string reason = ExposureOf(folder, true);
    if (!reason.empty()) return folder + ": " + reason;
  }
  return {};
}

LSTATUS OpenSubKey(HKEY key, const char* subKey, REGSAM access, bool create, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (!IsKeyName(subKey)) return ERROR_INVALID_PARAMETER;

  auto child = std::make_unique<RegistryKey>();
  if (key->depth >= sectionDepth) {
    LSTATUS status = key->fileKeys ? LocateFileSubKey(*key, subKey, child.get()) : ERROR_FILE_NOT_FOUND;
    if (status == ERROR_SUCCESS) *result = child.release();
    return status;
  }
  LSTATUS status = LocateSubKey(*key, subKey, create, child.get());
  if (status != ERROR_SUCCESS) return status;
  bool file = child->depth == sectionDepth;
  status = file ? LoadKeyValues(*child) : CheckKeyDirectory(child->location, access);
  if (status != ERROR_SUCCESS) return status;
  *result = child.release();
  return ERROR_SUCCESS;
}

}  // namespace

const HKEY HKEY_CURRENT_USER = &currentUser;

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result) {
  return OpenSubKey(key, subKey, access, false, result);
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result) {
  return OpenSubKey(key, subKey, access, true, result);
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                        DWORD* size) {
  if (key == nullptr || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  const char* name = valueName != nullptr ? valueName : "";
  for (auto value = key->values.rbegin(); value != key->values.rend(); ++value) {
    if (!RegNamesEqual(value->name, name)) continue;
    DWORD needed = static_cast<DWORD>(value->data.size());
    if (data != nullptr) {
      if (size == nullptr) return ERROR_INVALID_PARAMETER;
      if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
      }
      std::memcpy(data, value->data.data(), needed);
    }
    if (type != nullptr) *type = value->type;
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (key != HKEY_CURRENT_USER) delete key;
  return ERROR_SUCCESS;
}

std::vector<std::string> KeyValueNames(HKEY key) {
  std::vector<std::string> names;
  if (key == nullptr) return names;
  for (const RegValue& value : key->values) names.push_back(value.name);
  return names;
}

std::vector<std::string> KeySubkeyNames(HKEY key) {
  std::vector<std::string> names;
  if (key == nullptr || !key->fileKeys) return names;
  for (const RegKeySection& section : *key->fileKeys) {
    std::string_view subkey = SubkeyOnPath(*key, section.path);
    bool known = subkey.empty() || std::any_of(names.begin(), names.end(), [&](const std::string& name) {
                   return RegNamesEqual(name, subkey);
                 });
    if (!known) names.emplace_back(subkey);
  }
  return names;
}

std::string KeyLocation(HKEY key) { return key != nullptr ? key->location : std::string(); }

std::string KeyExposure(HKEY key) {
  if (key == nullptr || key == HKEY_CURRENT_USER) return {};
  // From the key's own file or folder up to the config directory ("software", depth 1):
  // whoever can write a folder on the way can put another file in its place; so can
  // whoever can write a folder above the target of a symbolic link on the way.
  std::string location = key->location;
  for (int depth = std::min(key->depth, sectionDepth);; --depth) {
    std::string reason = ExposureOf(location);
    if (!reason.empty()) return location + ": " + reason;
    reason = LinkTargetExposure(location);
    if (!reason.empty()) return reason;
    if (depth == 1) return {};
    location.erase(location.rfind('/'));
    if (location.empty()) return {};  // a machine key's file: up to the root folder
  }
}

RegKeyPlace UserKeyPlace(const char* company, const char* product, const char* section) {
  RegKeyPlace place;
  place.location = ConfigDirectory();
  if (place.location.empty()) return place;
  place.exists = true;
  for (std::string name : {std::string(company), std::string(product), section + std::string(keyFileSuffix)}) {
    std::string entry = place.exists ? FindEntry(place.location, name) : std::string();
    place.exists = !entry.empty();
    place.location += "/" + (place.exists ? entry : name);
  }
  struct stat st;
  place.exists = place.exists && lstat(place.location.c_str(), &st) == 0;
  return place;
}

RegKeyPlace MachineKeyPlace(const char*, const char*, const char* section) {
  RegKeyPlace place;
  place.location = machineKeyFolder + ("/" + std::string(section) + keyFileSuffix);
  struct stat st;
  place.exists = lstat(place.location.c_str(), &st) == 0;
  return place;
}

void RegForgetValues(bool (*forgotten)(std::string_view name)) { forgottenValues = forgotten; }

LSTATUS RegOpenMachineKey(const char* company, const char* product, const char* section, HKEY* result) {
  *result = nullptr;
  auto key = std::make_unique<RegistryKey>();
  // Its file is found at depth 4 (that of a user's key file); the check of who could
  // change it goes up to the root folder.
  key->depth = sectionDepth;
  const std::string below = std::string("\\software\\") + company + "\\" + product + "\\" + section;
  key->path = "HKEY_LOCAL_MACHINE" + below;
  key->userPath = currentUser.path + below;
  key->location = MachineKeyPlace(company, product, section).location;
  LSTATUS status = LoadKeyValues(*key);
  if (status != ERROR_SUCCESS) return status;
  *result = key.release();
  return ERROR_SUCCESS;
}
