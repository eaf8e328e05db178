// Two mail readers reading a message file: Python's standard email package
// (parse_message.py, which says what it prints) and Perl's Email::MIME
// (parse_message.pl, which prints the same), and the hex form of their texts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

// Lower-case hex of the bytes; "-" for none, as the script writes an empty text.
inline std::string Hex(std::string_view bytes) {
  if (bytes.empty()) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

// The UTF-8 form of Latin-1 text, as the readers print every text.
inline std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char b : text) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

// The text with CR LF line ends made LF, as a reader gives a decoded body.
inline std::string CrLfToLf(std::string text) {
  for (std::size_t p = text.find("\r\n"); p != text.npos; p = text.find("\r\n", p)) text.erase(p, 1);
  return text;
}

// The lines that a reader script prints for the message file at path; a test failure
// when it does not end well.
inline std::vector<std::string> RunReader(const std::string& interpreter, const std::string& script,
                                          const std::string& path) {
  const std::string command = interpreter + " " EMAILER_TEST_SUPPORT_DIR "/" + script + " '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string output;
  char buffer[65536];
  for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  EXPECT_EQ(pipe == nullptr ? -1 : pclose(pipe), 0) << script << ": " << output.substr(0, 2000);
  std::vector<std::string> lines;
  for (std::size_t from = 0, p; (p = output.find('\n', from)) != output.npos; from = p + 1) {
    lines.push_back(output.substr(from, p - from));
  }
  return lines;
}

// What Python's email package reads (parse_message.py).
inline std::vector<std::string> ParseMessageFile(const std::string& path) {
  return RunReader("/usr/bin/python3", "parse_message.py", path);
}

// What Python's email package reads, after a test that Perl's Email::MIME
// (parse_message.pl) reads the very same, the defects line aside.
inline std::vector<std::string> ParseMessageFileWithBothReaders(const std::string& path) {
  std::vector<std::string> python = ParseMessageFile(path);
  std::vector<std::string> withoutDefects = python;
  if (!withoutDefects.empty() && withoutDefects.back().starts_with("defects ")) withoutDefects.pop_back();
  EXPECT_EQ(RunReader("/usr/bin/perl", "parse_message.pl", path), withoutDefects) << "Email::MIME";
  return python;
}
