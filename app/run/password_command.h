// The password or token that the AuthPasswordCommand setting prints: the first line of
// the command's standard output, used in place of the AuthPassword setting.
#pragma once

#include <cstdint>
#include <string>

// Runs command with /bin/sh -c (standard input from /dev/null, standard error shared
// with the program) for at most timeout milliseconds, and returns the first line of its
// output without its line end (LF or CR LF). Raises CTAVSMTPException 553 (facility 4)
// with a text that names why ("the command exited with status 4"), but holds nothing of
// the command's text (its arguments may hold a token) nor of its output, when
// the command cannot be started, is ended by a signal, exits with a status other than
// 0, runs longer than timeout, prints more than 64 KiB, or prints an empty first line
// or one holding NUL. The command's output is overwritten before its memory is given
// back; the caller clears the password it returns (SecureClear) once it is used.
std::string PasswordFromCommand(const std::string& command, std::uint32_t timeout);
