#include "platform/terminal_text.h"

#include <cerrno>
#include <cstdio>

#include "platform/code_page.h"

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The C0 controls, DEL, and the C1 controls of the 8-bit code sets.
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

// The length of the well-formed UTF-8 character at the start of text (RFC 3629: no
// overlong form, no surrogate, nothing above U+10FFFF); 0 when there is none.
std::size_t Utf8CharacterLength(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (lead < 0xC2 || lead > 0xF4 || text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
  }
  return length;
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  for (unsigned char c : bytes) {
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0x0F];
  }
}

// How the first character of text (never empty) reaches the terminal, and how many
// bytes of text that is.
std::size_t TerminalCharacter(std::string_view text, bool utf8, std::string& shown) {
  auto lead = static_cast<unsigned char>(text[0]);
  if (text.starts_with("\r\n")) {
    shown = "\n";
    return 2;
  }
  std::size_t length = utf8 && lead >= 0x80 ? Utf8CharacterLength(text) : 1;
  // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F in UTF-8.
  bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F;
  shown.clear();
  if (length == 0) {
    AppendEscaped(shown, text.substr(0, 1));
    return 1;
  }
  bool control = length == 1 && lead != '\n' && lead != '\t' && IsControl(lead);
  if (control || c1) {
    AppendEscaped(shown, text.substr(0, length));
  } else {
    shown = text.substr(0, length);
  }
  return length;
}

std::string CutMark(std::size_t left) {
  return "\n[cut: " + std::to_string(left) + " more bytes not shown]";
}

}  // namespace

std::string CutMessageText(std::string_view text, bool utf8, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (utf8 && cut > 0 && IsContinuation(static_cast<unsigned char>(text[cut]))) --cut;
  return std::string(text.substr(0, cut)) + CutMark(text.size() - cut);
}

std::string TerminalText(std::string_view text, bool utf8) {
  std::string out;
  std::string shown;
  std::size_t done = 0;
  while (done < text.size()) {
    std::size_t length = TerminalCharacter(text.substr(done), utf8, shown);
    if (out.size() + shown.size() > messageTextLimit) return out + CutMark(text.size() - done);
    out += shown;
    done += length;
  }
  return out;
}

void WriteErrorLine(std::string_view text) {
  std::string line = std::string(program_invocation_short_name) + ": " + std::string(text);
  std::fputs((TerminalText(line, AnsiCodePageIsUtf8()) + "\n").c_str(), stderr);
}
