// Local names (an address without "@", as cron's "root" or MAILTO=admin) and the
// aliases file that turns them into addresses, in the syntax of /etc/aliases:
// "name: target, target", "#" comment lines, lines that begin with a blank continue
// the one before. Targets that are programs ("|..."), files ("/...") or includes
// (":include:") are not addresses this program can deliver to and are left out.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// How deep one alias may lead to another before the chain counts as a loop.
inline constexpr int maxAliasDepth = 16;

class CAliases {
 public:
  // The entries of a file's text; a name is kept in lower case (names ignore case), a
  // later entry of the same name replaces an earlier one.
  static CAliases Parse(std::string_view text);

  // The addresses of a local name: its targets, each local target in turn resolved the
  // same way (at most maxAliasDepth deep, each name once). A name without an entry, or
  // whose entry leads only to files, programs or includes, is kept as it is (the caller
  // decides), so a name never resolves to nothing.
  std::vector<std::string> Resolve(const std::string& name) const;

 private:
  void ResolveInto(const std::string& name, int depth, std::vector<std::string>& seen,
                   std::vector<std::string>& addresses) const;

  std::map<std::string, std::vector<std::string>> entries;
};

// True when the address has no "@": a name of this machine, not an e-mail address.
bool IsLocalName(std::string_view address);
