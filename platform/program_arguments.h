// The program's parameters after its name, as text in the ANSI code page. On Linux the
// shell has split them and they are argv as it is. On Windows they are read from the
// UTF-16 command line (CommandLineToArgvW) and converted without best-fit mapping, so no
// character outside the code page turns into a quote, a dash or a slash that starts
// another word or option; a word that the code page cannot hold and that names an
// existing file or folder becomes that file's short path, which the ANSI file functions
// open, and any other such character becomes "?".
#pragma once

#include <string>
#include <vector>

std::vector<std::string> ProgramArguments(int argc, char* argv[]);
