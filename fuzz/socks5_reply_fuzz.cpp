// Fuzzes the SOCKS5 CONNECT reply reader (RFC 1928, section 6) with any bytes a proxy
// may send. The outcome must match the reply's layout: version, status, reserved,
// address type, then an IPv4 or IPv6 address or a length-prefixed name, and the port.
// A reply that is read whole must leave every byte after it unread, since those belong
// to the target.
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "errors/exceptions.h"
#include "platform/error_numbers.h"

namespace {

struct Outcome {
  int error;              // 0 when the reply is read and grants the connection
  std::size_t replySize;  // the reply's bytes when error is 0
};

Outcome Expected(std::string_view in) {
  if (in.size() < 4) return {WSAECONNRESET, 0};
  std::size_t size;
  switch (in[3]) {
    case 1:  // IPv4 address
      size = 10;
      break;
    case 4:  // IPv6 address
      size = 22;
      break;
    case 3:  // a name of in[4] bytes
      if (in.size() < 5) return {WSAECONNRESET, 0};
      size = 7 + static_cast<unsigned char>(in[4]);
      break;
    default:
      return {ERROR_INVALID_PARAMETER, 0};
  }
  if (in.size() < size) return {WSAECONNRESET, 0};
  if (in[1] != 0) return {ERROR_BAD_NET_RESP, 0};
  return {0, size};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > SocketFeed::maxInput) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const Outcome expected = Expected(in);
  SocketFeed feed(in);
  try {
    feed.socket.ReadSocks5Reply(SocketFeed::timeout);
  } catch (const CWSocketException& e) {
    FUZZ_CHECK(e.m_nErrorCode == expected.error);
    return 0;
  }
  FUZZ_CHECK(expected.error == 0);
  FUZZ_CHECK(feed.Rest() == in.substr(expected.replySize));
  return 0;
}
