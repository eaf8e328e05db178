// The current user's registry, kept in files. The key
// HKEY_CURRENT_USER\software\<company>\<product>\<section> lives in
// ${XDG_CONFIG_HOME:-$HOME/.config}/<company>/<product>/<section>.reg (HOME, where it is
// unset or not the user's own, the home folder of the user's passwd entry): the config
// directory plays "software", the company and product keys are directories and the
// section key is a file in the .reg export syntax (posix/reg_file_parser.h), so a key
// exported on Windows can be dropped in as it is. Names compare without regard to case.
// The machine's settings key (RegOpenMachineKey) is the file /etc/e-mailer/<section>.reg.
//
// Keys are opened and created, values only read: nothing here writes a value.
// - "software" always exists: a missing config directory is created (mode 0700).
// - Creating a missing key creates its directory (0700) or its file (0600, holding the
//   header and the key line), and never replaces an existing file.
// - Opening a key checks read access only: KEY_READ needs a directory readable and
//   searchable and a file readable. KEY_WRITE is granted without a check, since no value
//   is ever written; creating a missing subkey needs write access to its directory, and
//   only that creation fails without it. So read-only settings are still read.
// - A key file that exists but cannot be read (not a regular file, larger than 1 MiB,
//   an open or read failure) or parsed counts as a key that cannot be opened, and is
//   named on standard error with the reason (and the line, for a parse failure), once
//   for each file and problem. A missing file is not reported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error_numbers.h"

struct RegistryKey;
using HKEY = RegistryKey*;
using LSTATUS = std::int32_t;
using DWORD = std::uint32_t;
using REGSAM = std::uint32_t;
using BYTE = unsigned char;

extern const HKEY HKEY_CURRENT_USER;


constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;

// A section key's subkeys (such as ...\<section>\Accounts\<name>) are the further key
// lines of the section's file, below its own path: they are opened from it, and never
// created (creating one would write the file).
//
// Opens an existing subkey (one name, no separators). ERROR_FILE_NOT_FOUND when it does
// not exist, ERROR_ACCESS_DENIED when the access is not granted, ERROR_BADDB when its
// file cannot be parsed, ERROR_BADKEY when the name is taken by something that is not a
// key, ERROR_INVALID_PARAMETER for a name that cannot be a key.
LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result);

// Opens a subkey, creating it first when it is missing; the key is non-volatile and has
// no class and no security attributes of its own. Errors as RegOpenKeyEx.
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result);

// Reads a value (null or empty name: the default value). type and size may be null.
// With data null only the type and size are reported; with a buffer smaller than the
// value, ERROR_MORE_DATA and the size needed. ERROR_FILE_NOT_FOUND when there is no
// such value.
LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                        DWORD* size);

LSTATUS RegCloseKey(HKEY key);

// The machine's key HKEY_LOCAL_MACHINE\software\<company>\<product>\<section>, opened
// for reading: the settings for users who have none of their own. On Linux it is the file
// /etc/e-mailer/<section>.reg (the program's folder in /etc plays the company and
// product keys), whose key line names that path or, so that a user's file can be copied
// there as it is, the HKEY_CURRENT_USER one; a file that exists but cannot be read or
// parsed is reported as a user's key file is. On Windows the system registry's key.
// Errors as RegOpenKeyEx.
LSTATUS RegOpenMachineKey(const char* company, const char* product, const char* section,
                          HKEY* result);

// From this call on, every key file read forgets the values that forgotten names (by
// value name) at once: their data is overwritten and they read as missing. The
// submission half (app/sendmail/face.h) sets it before it reads the system's settings, so
// that no secret of them is in its memory while it reads a message. Only the machine's key
// files on Linux; on Windows nothing (no run there holds a group of its own).
void RegForgetValues(bool (*forgotten)(std::string_view name));

// Where a settings key lives (Linux: its file; Windows: its registry path) and whether it
// is there. Found without reading what any key holds, so that a program holding a group
// of its own can choose its settings before it gives the group up. location is empty
// where the user has no config directory (no XDG_CONFIG_HOME and no home folder).
struct RegKeyPlace {
  std::string location;
  bool exists = false;
};
// The current user's HKEY_CURRENT_USER\software\<company>\<product>\<section>.
RegKeyPlace UserKeyPlace(const char* company, const char* product, const char* section);
// The machine's key of RegOpenMachineKey.
RegKeyPlace MachineKeyPlace(const char* company, const char* product, const char* section);

// The names of the values that key holds (the default value's is empty), in the order
// the key keeps them; none for a key that cannot be read.
std::vector<std::string> KeyValueNames(HKEY key);

// The names of key's direct subkeys, each once, in the order the key keeps them (on
// Linux: of their first key lines in the section's file); none for a key that cannot be
// read.
std::vector<std::string> KeySubkeyNames(HKEY key);

// The file or folder that holds key on Linux; "" on Windows, where the key is the
// system registry's own.
std::string KeyLocation(HKEY key);

// Why another user than the one running could change what key holds, so that a key
// holding a secret or a command can be refused: the file or folder that holds it,
// ": " and the reason (also when it cannot be looked at); "" when no one else could.
// On Linux the key's file and each folder above it up to the config directory must be
// owned by the user running (or by root, who can change anything anyway) and writable
// by neither their group nor all users. On Windows the key's access control list is
// the system's to keep: always "".
std::string KeyExposure(HKEY key);
