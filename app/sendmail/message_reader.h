// The message that the sendmail face reads from standard input: its lines as they
// arrive (LF, CR LF or a lone CR ends one), its header fields as RFC 5322 has them
// (name, colon, value, folded over lines that begin with a blank; names in any case)
// and the addresses of an address-list field.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The most header text that is read before the body: a longer header is refused.
inline constexpr std::size_t maxHeaderBytes = 1024 * 1024;

class CInputLines {
 public:
  // Reads up to a count of bytes: the number read, 0 at the end, -1 on a failure.
  using ReadFunction = std::function<long(char*, std::size_t)>;

  enum Status {
    LineEnded,    // a whole line, or the last piece of one
    LineGoesOn,   // a piece of a line that goes on in the next piece
    LastLine,     // the input ended after this piece, without a line end
    InputEnded,   // nothing more; the piece is empty
    InputFailed   // a read failed; the piece is empty, and so are all later calls
  };

  explicit CInputLines(ReadFunction read);

  // The next piece of at most maxPiece bytes (at least 1) of the current line, without
  // its line end.
  Status Next(std::string& piece, std::size_t maxPiece);
  // Makes the next Next give this piece and status again (one piece at a time).
  void PushBack(std::string piece, Status status);

 private:
  bool Fill();

  ReadFunction read;
  std::vector<char> buffer;
  std::size_t position = 0;
  std::size_t length = 0;
  bool ended = false;
  bool failed = false;
  std::optional<std::pair<std::string, Status>> pushedBack;
};

struct HeaderField {
  std::string name;  // as written, without the blanks before the colon
  std::string text;  // the whole field, its lines joined by CR LF, without the last one

  // The value after the colon, the folds removed.
  std::string Value() const;
  bool IsNamed(std::string_view other) const;
};

struct MessageHeader {
  std::vector<HeaderField> fields;
  bool inputEnded = false;  // the message has no body: the input ended in the header
  std::size_t lines = 0;    // input lines read, the empty line that ends the header too

  const HeaderField* Find(std::string_view name) const;
  void Remove(std::string_view name);
  // The block as it goes out: each field ended by CR LF, dot-stuffed, without the
  // empty line that ends it.
  std::string Text() const;
};

// Reads the header block up to the empty line that ends it, the end of the input or,
// with dotEndsInput, a line of a single ".". A first line that is no header field
// (nor an mbox "From " line, which is dropped) starts the body: the message then has no
// header, and the line is pushed back. Throws CSendmailFailure: 65 (SendmailDataError)
// for a line that is neither a field nor its continuation, a NUL or a line over 998
// octets in the header, or a header over maxHeaderBytes, naming the line; 74
// (SendmailInputError) when standard input cannot be read.
MessageHeader ReadMessageHeader(CInputLines& input, bool dotEndsInput);

// The bare addresses (local@domain) of an address list (RFC 5322 3.4): "a@x, Name <b@y>,
// group: c@z;" gives a@x, b@y, c@z. Comments and display names are dropped; a group
// with no member gives nothing.
std::vector<std::string> AddressesOf(std::string_view list);
