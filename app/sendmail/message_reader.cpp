#include "app/sendmail/message_reader.h"

#include <algorithm>
#include <cctype>

#include "app/sendmail/failure.h"
#include "mime/dot_stuffing.h"
#include "mime/line_ends.h"

namespace {

constexpr std::size_t inputBlockBytes = 64 * 1024;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The field name of a line that starts a field (printable ASCII but the colon, RFC
// 5322 ftext, blanks allowed before the colon); none for any other line.
std::optional<std::string> FieldName(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  if (name.empty()) return std::nullopt;
  const bool ftext = std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < '\x7f'; });
  if (!ftext) return std::nullopt;
  return std::string(name);
}

[[noreturn]] void RaiseHeaderLine(std::size_t lineNumber, const std::string& what) {
  throw CSendmailFailure{SendmailDataError, "line " + std::to_string(lineNumber) + " of the header " + what};
}

void CheckHeaderLine(std::string_view line, std::size_t lineNumber) {
  if (line.find('\0') != std::string_view::npos) RaiseHeaderLine(lineNumber, "holds a NUL byte");
  if (line.size() > maxLineLength) RaiseHeaderLine(lineNumber, "is longer than 998 octets");
}

// An address with the blanks and line ends around and between its words removed; a
// quoted local part keeps its own ("\"john smith\"@example.org" is another mailbox than
// "johnsmith@example.org").
std::string WithoutFoldingBlanks(std::string_view text) {
  std::string address;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || (IsBlank(c) && !quoted)) continue;
    address += c;
    if (quoted && c == '\\' && i + 1 < text.size()) address += text[++i];
    else if (c == '"') quoted = !quoted;
  }
  return address;
}

}  // namespace

CInputLines::CInputLines(ReadFunction readFunction)
    : read(std::move(readFunction)), buffer(inputBlockBytes) {}

bool CInputLines::Fill() {
  if (ended || failed) return false;
  long count = read(buffer.data(), buffer.size());
  if (count <= 0) {
    (count < 0 ? failed : ended) = true;
    return false;
  }
  position = 0;
  length = static_cast<std::size_t>(count);
  return true;
}

void CInputLines::PushBack(std::string piece, Status status) {
  pushedBack.emplace(std::move(piece), status);
}

CInputLines::Status CInputLines::Next(std::string& piece, std::size_t maxPiece) {
  if (pushedBack) {
    Status status = pushedBack->second;
    piece = std::move(pushedBack->first);
    pushedBack.reset();
    return status;
  }
  piece.clear();
  for (;;) {
    if (position == length && !Fill()) {
      if (failed) {
        piece.clear();
        return InputFailed;
      }
      return piece.empty() ? InputEnded : LastLine;
    }
    const char* start = buffer.data() + position;
    const std::size_t count = std::min(length - position, maxPiece - piece.size());
    const char* end = std::find_if(start, start + count, [](char c) { return c == '\n' || c == '\r'; });
    piece.append(start, end);
    position += static_cast<std::size_t>(end - start);
    if (end != start + count) {
      // A CR LF is one line end, so the LF after a CR is taken with it, even when it
      // comes in the next block.
      const bool carriageReturn = buffer[position++] == '\r';
      if (carriageReturn && (position < length || Fill()) && buffer[position] == '\n') ++position;
      return LineEnded;
    }
    if (piece.size() == maxPiece) return LineGoesOn;
  }
}

std::string HeaderField::Value() const {
  std::string value = text.substr(text.find(':') + 1);
  std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
  return value;
}

bool HeaderField::IsNamed(std::string_view other) const { return EqualsIgnoringCase(name, other); }

const HeaderField* MessageHeader::Find(std::string_view name) const {
  auto found = std::ranges::find_if(fields, [&](const HeaderField& field) { return field.IsNamed(name); });
  return found == fields.end() ? nullptr : &*found;
}

void MessageHeader::Remove(std::string_view name) {
  std::erase_if(fields, [&](const HeaderField& field) { return field.IsNamed(name); });
}

std::string MessageHeader::Text() const {
  std::string text;
  for (const HeaderField& field : fields) text += field.text + "\r\n";
  return DataText(text);
}

MessageHeader ReadMessageHeader(CInputLines& input, bool dotEndsInput) {
  MessageHeader header;
  std::size_t bytes = 0;
  std::string line;
  for (std::size_t lineNumber = 1;; ++lineNumber) {
    CInputLines::Status status = input.Next(line, maxHeaderBytes - bytes + 1);
    if (status == CInputLines::InputFailed) {
      throw CSendmailFailure{SendmailInputError, "standard input could not be read"};
    }
    bytes += line.size() + 2;
    header.lines = lineNumber;
    if (status == CInputLines::LineGoesOn || bytes > maxHeaderBytes) {
      throw CSendmailFailure{SendmailDataError, "the header is longer than 1 MiB"};
    }
    const bool last = status != CInputLines::LineEnded;
    if (status == CInputLines::InputEnded || (dotEndsInput && line == ".")) {
      header.inputEnded = true;
      return header;
    }
    if (line.empty()) return header;  // the empty line that ends the header
    CheckHeaderLine(line, lineNumber);
    if (IsBlank(line.front()) && !header.fields.empty()) {
      header.fields.back().text += "\r\n" + line;
    } else if (std::optional<std::string> name = FieldName(line)) {
      header.fields.push_back({*name, line});
    } else if (lineNumber == 1 && line.starts_with("From ")) {
      // The separator line of an mbox file is no part of the message.
    } else if (header.fields.empty()) {
      input.PushBack(line, status);
      header.lines = lineNumber - 1;
      return header;
    } else {
      RaiseHeaderLine(lineNumber, "is not a header field (it has no colon)");
    }
    if (last) {
      header.inputEnded = true;
      return header;
    }
  }
}

std::vector<std::string> AddressesOf(std::string_view list) {
  std::vector<std::string> addresses;
  std::string bare;   // the text outside angle brackets, quotes kept
  std::string angle;  // the text inside the last angle brackets
  bool hadAngle = false;
  bool inAngle = false;
  auto flush = [&] {
    // An angle bracket left open keeps its "<", so that the address is not taken.
    std::string address = hadAngle ? (inAngle ? "<" : "") + angle : bare;
    // A source route before the address ("@a,@b:user@x") is obsolete and dropped.
    if (hadAngle && address.find(':') != std::string::npos) address.erase(0, address.rfind(':') + 1);
    address = WithoutFoldingBlanks(address);
    if (!address.empty()) addresses.push_back(address);
    bare.clear();
    angle.clear();
    hadAngle = inAngle = false;
  };
  bool quoted = false;
  int commentDepth = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    std::string& target = inAngle ? angle : bare;
    if (quoted || commentDepth > 0) {
      const bool escaped = c == '\\' && i + 1 < list.size();
      if (commentDepth > 0) {
        if (escaped) ++i;
        else if (c == '(') ++commentDepth;
        else if (c == ')') --commentDepth;
        continue;
      }
      target += c;
      if (escaped) target += list[++i];
      else if (c == '"') quoted = false;
    } else if (c == '(') {
      commentDepth = 1;
    } else if (c == '"') {
      quoted = true;
      target += c;
    } else if (inAngle) {
      if (c == '>') inAngle = false;
      else angle += c;
    } else if (c == '<') {
      inAngle = hadAngle = true;
      angle.clear();
    } else if (c == ':') {
      bare.clear();  // a group's display name ends here
    } else if (c == ',' || c == ';') {
      flush();
    } else {
      bare += c;
    }
  }
  flush();
  return addresses;
}
