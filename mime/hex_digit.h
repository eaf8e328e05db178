// The hexadecimal digit of the escape triplets ("=" and two digits) that both the
// quoted-printable body encoding and the header encoded words write.
#pragma once

// "0" to "9" and "A" to "F", upper case as RFC 2045 and RFC 2047 ask; value is 0 to 15.
constexpr char HexDigit(int value) { return "0123456789ABCDEF"[value & 15]; }
