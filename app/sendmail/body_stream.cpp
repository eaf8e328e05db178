#include "app/sendmail/body_stream.h"

#include <algorithm>

#include "app/sendmail/failure.h"
#include "mime/dot_stuffing.h"
#include "mime/line_ends.h"
#include "mime/quoted_printable.h"

namespace {

// How many input bytes an encoded text without soft line breaks stands for: an "=XX"
// triplet is one byte, any other character itself.
std::size_t DecodedLength(std::string_view encoded) {
  return encoded.size() - 2 * static_cast<std::size_t>(std::ranges::count(encoded, '='));
}

// Continuation bytes that follow a UTF-8 lead byte; -1 for a byte that leads nothing.
int Utf8Continuations(unsigned char c) {
  if (c < 0x80) return 0;
  if (c >= 0xC2 && c <= 0xDF) return 1;
  if (c >= 0xE0 && c <= 0xEF) return 2;
  if (c >= 0xF0 && c <= 0xF4) return 3;
  return -1;
}

}  // namespace

void CBodyFacts::Add(std::string_view piece, bool lineEnded) {
  for (unsigned char c : piece) {
    if (c >= 0x80) eightBit = true;
    if (utf8Continuations > 0) {
      if ((c & 0xC0) == 0x80) --utf8Continuations;
      else validUtf8 = false, utf8Continuations = 0;
      continue;
    }
    int needed = Utf8Continuations(c);
    if (needed < 0) validUtf8 = false;
    else utf8Continuations = needed;
  }
  lineLength += piece.size();
  const bool bad = piece.find('\0') != std::string_view::npos || lineLength > maxLineLength;
  if (bad && firstBadLine == 0) firstBadLine = line;
  if (lineEnded) {
    if (utf8Continuations > 0) validUtf8 = false, utf8Continuations = 0;
    ++line;
    lineLength = 0;
  }
}

CBodyEncoder::CBodyEncoder(bool quotedPrintableBody, std::size_t firstLine)
    : quotedPrintable(quotedPrintableBody), line(firstLine) {}

void CBodyEncoder::Add(std::string_view piece, bool lineEnded, std::string& out) {
  const std::size_t start = out.size();
  if (quotedPrintable) AddQuotedPrintable(piece, lineEnded, out);
  else AddAsItIs(piece, lineEnded, out);
  // Every text given ends at a line start, so each begins at one and can be stuffed
  // alone.
  out.replace(start, std::string::npos, DataText(std::string_view(out).substr(start)));
}

void CBodyEncoder::AddQuotedPrintable(std::string_view piece, bool lineEnded, std::string& out) {
  std::string input = carry + std::string(piece);
  carry.clear();
  std::string encoded = EncodeQuotedPrintable(input);
  if (lineEnded) {
    out += encoded + "\r\n";
    return;
  }
  // The line goes on: what its last soft line break leaves is encoded again with the
  // next piece, so no encoded line grows past 76 characters across pieces.
  std::size_t softBreak = encoded.rfind("=\r\n");
  if (softBreak == std::string::npos) {
    carry = std::move(input);
    return;
  }
  std::string_view tail = std::string_view(encoded).substr(softBreak + 3);
  carry = input.substr(input.size() - DecodedLength(tail));
  out.append(encoded, 0, softBreak + 3);
}

void CBodyEncoder::AddAsItIs(std::string_view piece, bool lineEnded, std::string& out) {
  lineLength += piece.size();
  if (piece.find('\0') != std::string_view::npos || lineLength > maxLineLength) {
    throw CSendmailFailure{SendmailDataError, "line " + std::to_string(line) +
                                                  " of the message holds a NUL or is longer than 998 octets, "
                                                  "and a MIME message is sent as it is"};
  }
  out.append(piece);
  lineOpen = !lineEnded;
  if (lineEnded) {
    out += "\r\n";
    ++line;
    lineLength = 0;
  }
}

void CBodyEncoder::Finish(std::string& out) {
  if (quotedPrintable && !carry.empty()) {
    Add("", true, out);
  } else if (lineOpen) {
    out += "\r\n";
    lineOpen = false;
  }
}

CBodyStream::CBodyStream(CInputLines& lines, bool dotEnds, bool inputEnded)
    : input(lines), dotEndsInput(dotEnds), ended(inputEnded) {}

bool CBodyStream::ReadPiece(Piece& piece) {
  if (ended) return false;
  CInputLines::Status status = input.Next(piece.text, bodyPieceBytes);
  if (status == CInputLines::InputFailed) {
    throw CSendmailFailure{SendmailInputError, "standard input could not be read"};
  }
  const bool dotLine = dotEndsInput && atLineStart && status != CInputLines::LineGoesOn &&
                       piece.text == ".";
  if (status == CInputLines::InputEnded || dotLine) {
    ended = true;
    return false;
  }
  if (status == CInputLines::LastLine) ended = true;
  piece.lineEnded = status == CInputLines::LineEnded;
  atLineStart = status != CInputLines::LineGoesOn;
  return true;
}

const CBodyFacts& CBodyStream::LookAhead() {
  std::size_t bytes = 0;
  Piece piece;
  while (bytes < bodyLookaheadBytes && ReadPiece(piece)) {
    facts.Add(piece.text, piece.lineEnded);
    bytes += piece.text.size();
    window.push_back(std::move(piece));
  }
  return facts;
}

void CBodyStream::Start(bool quotedPrintable, std::size_t firstLine) {
  encoder.emplace(quotedPrintable, firstLine);
}

bool CBodyStream::Next(std::string& text) {
  text.clear();
  if (finished) return false;
  Piece piece;
  while (text.size() < bodyPieceBytes) {
    if (!window.empty()) {
      piece = std::move(window.front());
      window.pop_front();
    } else if (!ReadPiece(piece)) {
      encoder->Finish(text);
      finished = true;
      break;
    }
    encoder->Add(piece.text, piece.lineEnded, text);
  }
  return !text.empty() || !finished;
}
