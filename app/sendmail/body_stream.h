// The body of the sendmail face's message on its way from standard input to the
// server: the first part is looked at before anything is sent, to choose how it goes
// out, and then the whole body streams through in pieces, so memory stays the same
// whatever its size. Lines end in CR LF on the wire and are dot-stuffed (RFC 5321
// 4.5.2); a line of 998 octets and more, a NUL, or (without MIME) an 8-bit byte
// cannot go out as it is (RFC 5322 2.1.1, 2.3).
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "app/sendmail/message_reader.h"

// The body read before the header is sent: once this much is there, the rest streams.
inline constexpr std::size_t bodyLookaheadBytes = 1024 * 1024;
// The longest piece of a line that is held at a time.
inline constexpr std::size_t bodyPieceBytes = 64 * 1024;

// What the body read so far holds that the wire can't take as it is.
class CBodyFacts {
 public:
  void Add(std::string_view piece, bool lineEnded);

  bool eightBit = false;
  bool validUtf8 = true;
  // The first body line (from 1) that holds a NUL or is over 998 octets; 0: none.
  std::size_t firstBadLine = 0;

 private:
  std::size_t line = 1;
  std::size_t lineLength = 0;
  int utf8Continuations = 0;  // continuation bytes the last UTF-8 character still needs
};

// Turns body line pieces into wire text.
class CBodyEncoder {
 public:
  // quotedPrintable: each line is encoded (RFC 2045 6.7); otherwise the lines go as they
  // are, and firstLine is the number of the body's first line in the whole message, so
  // that a line that breaks a limit can be named.
  CBodyEncoder(bool quotedPrintable, std::size_t firstLine);

  // Appends the wire text of a piece of a line to out; the text ends at a line start.
  // Without quoted-printable, throws CSendmailFailure 65 (SendmailDataError) naming
  // the line that holds a NUL or is longer than 998 octets.
  void Add(std::string_view piece, bool lineEnded, std::string& out);
  // The end of the body: a last line without a line end gets one.
  void Finish(std::string& out);

 private:
  void AddQuotedPrintable(std::string_view piece, bool lineEnded, std::string& out);
  void AddAsItIs(std::string_view piece, bool lineEnded, std::string& out);

  bool quotedPrintable;
  std::size_t line;
  std::size_t lineLength = 0;
  std::string carry;  // input of a long line whose encoded text is not yet complete
  bool lineOpen = false;
};

// The body of one message, read from input after its header.
class CBodyStream {
 public:
  CBodyStream(CInputLines& input, bool dotEndsInput, bool inputEnded);

  // Reads up to bodyLookaheadBytes of the body, or the whole of a shorter one, and
  // returns what it holds. Throws CSendmailFailure 74 when standard input fails.
  const CBodyFacts& LookAhead();
  // Whether LookAhead saw the whole body.
  bool Complete() const { return ended; }

  // Starts the encoding that was chosen from the facts.
  void Start(bool quotedPrintable, std::size_t firstLine);
  // The next wire text (dot-stuffed, CR LF line ends), up to about bodyPieceBytes; false
  // once the whole body has been given. Throws CSendmailFailure: 74 when standard input
  // fails, 65 as CBodyEncoder::Add.
  bool Next(std::string& text);

 private:
  struct Piece {
    std::string text;
    bool lineEnded;
  };
  // The next piece of the body from the input; false at its end.
  bool ReadPiece(Piece& piece);

  CInputLines& input;
  bool dotEndsInput;
  bool ended;
  bool atLineStart = true;
  bool finished = false;
  std::deque<Piece> window;
  CBodyFacts facts;
  std::optional<CBodyEncoder> encoder;
};
