// Fuzzes the HTTP CONNECT proxy's reply header reader with any bytes a proxy may send.
// The reader must take exactly the header, up to and including the first CR LF CR LF,
// and leave every byte after it unread, since those belong to the target. A header
// without its end, or one that grows past 64 KiB, fails like a closed connection.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "errors/exceptions.h"
#include "platform/error_numbers.h"

namespace {

constexpr std::size_t maxReplyHeader = 64 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > SocketFeed::maxInput) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::size_t end = in.find("\r\n\r\n");
  const bool complete = end != std::string_view::npos && end + 4 <= maxReplyHeader;
  SocketFeed feed(in);
  std::string reply = "left from before";
  try {
    feed.socket.ReadProxyReplyHeader(SocketFeed::timeout, reply);
  } catch (const CWSocketException& e) {
    FUZZ_CHECK(!complete);
    FUZZ_CHECK(e.m_nErrorCode == WSAECONNRESET);
    return 0;
  }
  FUZZ_CHECK(complete);
  FUZZ_CHECK(reply == in.substr(0, end + 4));
  FUZZ_CHECK(feed.Rest() == in.substr(end + 4));
  return 0;
}
