// Fuzzes the reader of .reg settings files, which a user writes or drops in from
// another machine, with any bytes. What it accepts must survive being written out
// again: the keys are rendered back to REGEDIT4 text (quoted names with their escapes,
// texts, dwords, hex lists cut into continuation lines) and must read back the same.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/posix/reg_file_parser.h"

namespace {

constexpr std::uint32_t regSz = 1;
constexpr std::uint32_t regDword = 4;
constexpr std::size_t bytesPerLine = 16;

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// Whether a text written in quotes reads back as itself. A quoted text cannot hold a
// line break (regedit too writes such a text as hex(1)), and the reader takes the file
// as UTF-8, so a byte that is not UTF-8 reads back as "?"; hex(1) in a REGEDIT4 file
// holds any bytes.
bool ReadsBackQuoted(std::string_view text) {
  const auto keys = ParseRegFile("REGEDIT4\r\n[k]\r\n@=" + Quoted(text) + "\r\n");
  return keys && keys->size() == 1 && keys->front().values.size() == 1 &&
         keys->front().values.front().data == std::string(text) + '\0';
}

std::string HexList(const RegValue& value) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
  std::string out = prefix;
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    if (i > 0) out += i % bytesPerLine == 0 ? ",\\\r\n  " : ",";
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value.data[i]));
    out += byte;
  }
  return out;
}

std::string Data(const RegValue& value) {
  const std::string& data = value.data;
  if (value.type == regSz && data.ends_with('\0')) {
    const std::string_view text = std::string_view(data).substr(0, data.size() - 1);
    if (ReadsBackQuoted(text)) return Quoted(text);
  }
  if (value.type == regDword && data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    return text;
  }
  return HexList(value);
}

// Key paths and value names go out as the reader gave them: UTF-8 already, in the UTF-8
// code page the fuzzer runs in.
std::string Render(const std::vector<RegKeySection>& keys) {
  std::string out = "REGEDIT4\r\n";
  for (const RegKeySection& key : keys) {
    out += "\r\n[" + key.path + "]\r\n";
    for (const RegValue& value : key.values) {
      out += value.name.empty() ? "@" : Quoted(value.name);
      out += "=" + Data(value) + "\r\n";
    }
  }
  return out;
}

bool Same(const std::vector<RegKeySection>& a, const std::vector<RegKeySection>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].path != b[k].path || a[k].values.size() != b[k].values.size()) return false;
    for (std::size_t v = 0; v < a[k].values.size(); ++v) {
      const RegValue& x = a[k].values[v];
      const RegValue& y = b[k].values[v];
      if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto keys = ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!keys) return 0;
  auto again = ParseRegFile(Render(*keys));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(Same(*keys, *again));
  return 0;
}
