// Reader of registry files in the Windows export syntax (.reg), the form in which the
// settings keys are kept. It takes "Windows Registry Editor Version 5.00" and "REGEDIT4"
// files, as UTF-8 (byte order mark optional) or as UTF-16LE with its byte order mark
// (what "reg export" writes):
//
//   [HKEY_CURRENT_USER\software\Company\Product\Section]   a key
//   "Name"="text"             REG_SZ; the escapes are \\ and \" (a backslash before any
//                             other character stays a backslash: "CORP\jdoe")
//   "Name"=dword:000001d1     REG_DWORD, one to eight hex digits
//   "Name"=hex(n):bb,bb,...   type n (hex), raw bytes; hex: is REG_BINARY; a list
//                             continues on the next line after a trailing backslash
//   @=...                     the key's default value (empty name)
//   ; ...                     a comment line
//
// Key paths, value names and texts are converted to the ANSI code page. The string
// types (1, 2 and 7) written as hex lists hold UTF-16LE in version 5 files and ANSI
// bytes in REGEDIT4 files; they too end up as ANSI bytes. A malformed UTF-8 sequence
// or UTF-16 unit reads as "?", whatever the code page.
//
// Deletion lines ("[-key]", "Name"=-) change a registry rather than describe a key:
// a file holding one does not parse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct RegValue {
  std::string name;  // empty for the default value
  std::uint32_t type;
  std::string data;  // as a query returns it: REG_SZ text with its NUL, REG_DWORD as 4 bytes
};

struct RegKeySection {
  std::string path;  // as written between the brackets
  std::vector<RegValue> values;  // in file order
};

// Where and why a file is not a registry file.
struct RegParseError {
  std::size_t line = 0;  // counted from 1
  std::string reason;
};

// The keys of a .reg file in file order; nullopt when the bytes are not a registry file
// or any line breaks the syntax above, and then error (when not null) tells the first
// line that does.
std::optional<std::vector<RegKeySection>> ParseRegFile(std::string_view bytes,
                                                       RegParseError* error = nullptr);

// Compares key paths and value names as the registry does, without regard to case.
bool RegNamesEqual(std::string_view a, std::string_view b);
