#include "codec/base64.h"

#include <array>
#include <climits>
#include <cstring>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/secure_clear.h"

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int groupsPerLine = 19;  // 19 groups of 3 bytes make one 76-character line

// Two output characters for every 12-bit value, so a 3-byte group takes two lookups.
constexpr std::array<char, 2 * 4096> MakePairTable() {
  std::array<char, 2 * 4096> table{};
  for (int v = 0; v < 4096; ++v) {
    table[2 * v] = alphabet[v >> 6];
    table[2 * v + 1] = alphabet[v & 63];
  }
  return table;
}
constexpr auto pairTable = MakePairTable();

// Decoding tables: the value of a character already shifted into its place in a
// 24-bit group, or invalidBit for a character outside the alphabet. Four lookups ORed
// together give a whole group, and the bit tells at once whether all four were valid.
constexpr std::uint32_t invalidBit = 1u << 24;

constexpr std::array<std::uint32_t, 256> MakeDecodeTable(int shift) {
  std::array<std::uint32_t, 256> table{};
  table.fill(invalidBit);
  for (std::uint32_t v = 0; v < 64; ++v) {
    table[static_cast<unsigned char>(alphabet[v])] = v << shift;
  }
  return table;
}
constexpr std::array<std::array<std::uint32_t, 256>, 4> decodeTables = {
    MakeDecodeTable(18), MakeDecodeTable(12), MakeDecodeTable(6), MakeDecodeTable(0)};

std::uint16_t Pair(std::uint64_t twelveBits) {
  std::uint16_t pair;
  std::memcpy(&pair, &pairTable[2 * (twelveBits & 0xFFF)], 2);
  return pair;
}

// Encodes whole 3-byte groups. Two groups at a time are taken from one 8-byte load
// where the source has two bytes to spare behind them (end marks the source's end).
char* EncodeGroups(const unsigned char*& in, int groups, char* out, const unsigned char* end) {
  for (; groups >= 2 && end - in >= 8; groups -= 2, in += 6, out += 8) {
    std::uint64_t v;
    std::memcpy(&v, in, 8);
    v = __builtin_bswap64(v) >> 16;  // the six bytes, most significant first
    std::uint64_t chars = std::uint64_t{Pair(v >> 36)} | std::uint64_t{Pair(v >> 24)} << 16 |
                          std::uint64_t{Pair(v >> 12)} << 32 | std::uint64_t{Pair(v)} << 48;
    std::memcpy(out, &chars, 8);
  }
  for (; groups > 0; --groups, in += 3, out += 4) {
    std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, &pairTable[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &pairTable[2 * (v & 0xFFF)], 2);
  }
  return out;
}

// The last 1 or 2 bytes: their bits at the top of a group, t + 1 characters, and the
// "=" padding that fills the group to four characters.
char* EncodeTail(const unsigned char* in, int t, char* out, bool pad) {
  std::uint32_t v = std::uint32_t{in[0]} << 16;
  if (t == 2) v |= std::uint32_t{in[1]} << 8;
  for (int i = 0; i <= t; ++i) *out++ = alphabet[(v >> (18 - 6 * i)) & 63];
  if (pad) {
    for (int i = t; i < 3; ++i) *out++ = '=';
  }
  return out;
}

void StoreGroup(std::uint32_t bits, unsigned char* out) {
  out[0] = static_cast<unsigned char>(bits >> 16);
  out[1] = static_cast<unsigned char>(bits >> 8);
  out[2] = static_cast<unsigned char>(bits);
}

}  // namespace

int CBase64Buffer::RequiredEncodedLength(int sourceLength, std::uint32_t flags) {
  if (sourceLength < 0) return -1;
  // The original 32-bit formula, evaluated in 64 bits so long sources cannot overflow.
  std::int64_t l = sourceLength;
  std::int64_t n = l * 4 / 3;
  if ((flags & Base64NoPadding) == 0) n += l % 3;
  std::int64_t breaks = n / 76 + 1;
  std::int64_t r = n % 76;
  if (r != 0 && r % 4 != 0) n += 4 - r % 4;
  if ((flags & Base64NoLineBreaks) == 0) n += 2 * breaks;
  return n > INT_MAX ? -1 : static_cast<int>(n);
}

int CBase64Buffer::RequiredDecodedLength(int sourceLength) { return sourceLength; }

bool CBase64Buffer::EncodeRaw(const unsigned char* source, int sourceLength, char* destination,
                              int* written, std::uint32_t flags) {
  if (source == nullptr || destination == nullptr || written == nullptr || sourceLength < 0) {
    return false;
  }
  const bool lineBreaks = (flags & Base64NoLineBreaks) == 0;
  const int groups = sourceLength / 3;
  const unsigned char* end = source + sourceLength;
  char* out = destination;
  // A CRLF follows every complete line, the last one included; a partial line and the
  // final group end without one.
  if (lineBreaks) {
    for (int line = 0; line < groups / groupsPerLine; ++line) {
      out = EncodeGroups(source, groupsPerLine, out, end);
      *out++ = '\r';
      *out++ = '\n';
    }
    out = EncodeGroups(source, groups % groupsPerLine, out, end);
  } else {
    out = EncodeGroups(source, groups, out, end);
  }
  if (int t = sourceLength % 3; t != 0) {
    out = EncodeTail(source, t, out, (flags & Base64NoPadding) == 0);
  }
  *written = static_cast<int>(out - destination);
  return true;
}

int CBase64Buffer::DecodeChar(int c) {
  if (c < 0 || c > 255) return -1;
  std::uint32_t v = decodeTables[3][static_cast<std::size_t>(c)];
  return v == invalidBit ? -1 : static_cast<int>(v);
}

bool CBase64Buffer::DecodeRaw(const char* source, int sourceLength, unsigned char* destination,
                              int* written) {
  if (source == nullptr || destination == nullptr || written == nullptr || sourceLength < 0) {
    return false;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(source);
  const auto* end = in + sourceLength;
  unsigned char* out = destination;
  while (in != end) {
    // Fast path: four valid characters in a row form a whole group.
    if (end - in >= 4) {
      std::uint32_t bits = decodeTables[0][in[0]] | decodeTables[1][in[1]] |
                           decodeTables[2][in[2]] | decodeTables[3][in[3]];
      if ((bits & invalidBit) == 0) {
        StoreGroup(bits, out);
        in += 4;
        out += 3;
        continue;
      }
    }
    // Slow path: gather up to four valid characters, skipping every other byte; a
    // group cut short by the end of the input yields (6 * k) / 8 bytes.
    std::uint32_t bits = 0;
    int k = 0;
    for (; in != end && k < 4; ++in) {
      std::uint32_t v = decodeTables[3][*in];
      if (v != invalidBit) {
        bits = (bits << 6) | v;
        ++k;
      }
    }
    bits <<= 6 * (4 - k);
    unsigned char group[3];
    StoreGroup(bits, group);
    int produced = 6 * k / 8;
    std::memcpy(out, group, static_cast<std::size_t>(produced));
    out += produced;
  }
  *written = static_cast<int>(out - destination);
  return true;
}

CBase64Buffer::~CBase64Buffer() { Replace(nullptr, 0); }

void CBase64Buffer::Replace(std::unique_ptr<char[]> block, int written) {
  if (data) SecureClear(data.get(), static_cast<std::size_t>(length));
  data = std::move(block);
  length = written;
}

void CBase64Buffer::Encode(const unsigned char* source, int sourceLength, std::uint32_t flags) {
  int required = RequiredEncodedLength(sourceLength, flags);
  if (source == nullptr || required < 0) RaiseSmtpError(msgBase64Encode, FACILITY_ITF, "");
  auto block = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(required) + 1);
  int written = 0;
  if (!EncodeRaw(source, sourceLength, block.get(), &written, flags)) {
    RaiseSmtpError(msgBase64Encode, FACILITY_ITF, "");
  }
  block[static_cast<std::size_t>(written)] = '\0';
  Replace(std::move(block), written);
}

void CBase64Buffer::Encode(const char* text, std::uint32_t flags) {
  std::size_t n = text == nullptr ? 0 : std::strlen(text);
  if (n > INT_MAX) RaiseSmtpError(msgBase64Encode, FACILITY_ITF, "");
  Encode(reinterpret_cast<const unsigned char*>(text), static_cast<int>(n), flags);
}

void CBase64Buffer::Decode(const char* source, int sourceLength) {
  if (source == nullptr || sourceLength < 0) RaiseSmtpError(msgBase64Decode, FACILITY_ITF, "");
  auto block = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(sourceLength) + 1);
  int written = 0;
  if (!DecodeRaw(source, sourceLength, reinterpret_cast<unsigned char*>(block.get()), &written)) {
    RaiseSmtpError(msgBase64Decode, FACILITY_ITF, "");
  }
  block[static_cast<std::size_t>(written)] = '\0';
  Replace(std::move(block), written);
}

void CBase64Buffer::Decode(const char* text) {
  std::size_t n = text == nullptr ? 0 : std::strlen(text);
  if (n > INT_MAX) RaiseSmtpError(msgBase64Decode, FACILITY_ITF, "");
  Decode(text, static_cast<int>(n));
}
