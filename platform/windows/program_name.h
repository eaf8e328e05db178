// The program's name as the system knows it: the file name of its executable without
// the folder and the ".exe".
#pragma once

const char* ProgramName();

// The C library name that the shared sources use for the same thing on Linux
// (terminal_text.cpp is compiled with this header included first).
#define program_invocation_short_name ProgramName()
