// CWSocket: one blocking IPv4 TCP socket with a readable-wait in milliseconds, and the
// three proxy tunnels that open it through SOCKS4, SOCKS5 (RFC 1928, RFC 1929) or an
// HTTP CONNECT proxy (RFC 9110 section 9.3.6).
//
// Every failing call raises CWSocketException with a Winsock error number: errno and
// resolver failures are mapped to their Winsock numbers and kept as the thread's last
// error. Only Close reports failure through its result.
//
// Host-name rule (Bind, Connect, the tunnels): the text is first read as a dotted
// IPv4 address (inet_addr); when that gives INADDR_NONE it is resolved as a host name
// and the first IPv4 address is used. There is no IPv6 and no second address.
#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;

// The inet_addr step of the host-name rule: true and the address in network byte
// order when text is a dotted IPv4 address. "255.255.255.255" reads as INADDR_NONE
// and so counts as a name.
bool ParseDottedAddress(const char* text, std::uint32_t* address);

class CWSocket {
 public:
  CWSocket() = default;
  CWSocket(const CWSocket&) = delete;
  CWSocket& operator=(const CWSocket&) = delete;
  // Closes an open socket.
  virtual ~CWSocket();

  // Opens an AF_INET stream socket with TCP_NODELAY set. A socket still open from
  // before is closed first. Raises the last Winsock error.
  SOCKET Create();

  // Binds to port at address (null: the any-address; otherwise the host-name rule).
  // Raises 10022 for an address that cannot be resolved, else the last Winsock error.
  void Bind(std::uint16_t port, const char* address);
  int Bind(const sockaddr* address, socklen_t length);

  // Connects, blocking, with no timeout of its own. Raises the resolver's or the
  // connect call's Winsock error; the socket stays open after a failure.
  void Connect(const char* host, std::uint16_t port);
  int Connect(const sockaddr* address, socklen_t length);

  // One send call (never raises SIGPIPE); the count may be short. Raises the last
  // Winsock error.
  int Send(const void* data, int length, int flags);
  // Sends until all length bytes are out; returns length. Raises as Send. With more,
  // the text is a piece of a longer one whose rest follows at once: a last segment
  // that is not full may wait for the next send (MSG_MORE), so pieces share segments.
  int SendAll(const void* data, int length, bool more = false);
  // One receive call; 0 means the peer has closed the connection. Raises the last
  // Winsock error.
  int Receive(void* buffer, int capacity, int flags);

  // Waits at most timeout milliseconds for data to read; a closed peer counts as
  // readable, a socket that never connected never is. Raises 10038 when no socket is
  // open, else the last Winsock error.
  bool IsReadable(std::uint32_t timeout);
  // Bounds each later receive that blocks, including those that OpenSSL makes on the
  // socket, to timeout milliseconds (at least 1): one that waits longer fails as if
  // nothing were there yet (EAGAIN). Raises the last Winsock error.
  void SetReceiveTimeout(std::uint32_t timeout);

  // Closes an open socket and returns close()'s result; -1 when none is open. Never
  // raises.
  int Close();

  SOCKET GetSocketHandle() const { return m_hSocket; }

  // The tunnels. Each connects to the proxy (a failure there raises Connect's error and
  // leaves the socket open), then runs the proxy's exchange; a failure of the exchange
  // closes the socket and raises:
  //   10060 a reply byte is not readable within timeout (each wait bounded alone)
  //   10054 the proxy closed the connection before its reply was complete
  //   last Winsock error: a socket call failed, or SOCKS4 cannot resolve the target
  //   58    SOCKS4 reply other than 0, 90; SOCKS5 CONNECT reply with non-zero status
  //   10061 SOCKS5 proxy chose a method that was not offered
  //   87    SOCKS5 user name, password or target name longer than 255 bytes; SOCKS5
  //         reply address type other than 1 or 3; HTTP credentials too long to encode
  //   5     SOCKS5 user name and password rejected
  //   1225  HTTP proxy status other than 200
  // On success no byte after the proxy's reply has been read: it belongs to the target.
  void ConnectThroughSocks4(const char* host, std::uint16_t port, const char* proxyHost,
                            std::uint16_t proxyPort, std::uint32_t timeout);
  // A null user name offers no authentication; a null password counts as empty.
  void ConnectThroughSocks5(const char* host, std::uint16_t port, const char* proxyHost,
                            std::uint16_t proxyPort, const char* userName, const char* password,
                            std::uint32_t timeout);
  // reply receives the proxy's reply header, its closing CR LF CR LF included. A null
  // user name sends no authorisation, a null user agent no User-Agent line.
  void ConnectThroughHttpProxy(const char* host, std::uint16_t port, const char* proxyHost,
                               std::uint16_t proxyPort, std::string& reply, const char* userName,
                               const char* password, std::uint32_t timeout,
                               const char* userAgent);

  // Reads one SOCKS5 CONNECT reply, exactly as many bytes as it has.
  void ReadSocks5Reply(std::uint32_t timeout);
  // Reads the HTTP proxy's reply up to and including the first CR LF CR LF, one byte
  // at a time; a header past 64 KiB raises 10054 like a closed connection.
  void ReadProxyReplyHeader(std::uint32_t timeout, std::string& reply);

 private:
  // Resolves host by the host-name rule; false with the last error set when it cannot.
  static bool ResolveHost(const char* host, std::uint32_t* address);
  // Finishes a connect that a signal interrupted; returns 0 or -1 with errno set.
  int CompleteInterruptedConnect();

  // Connects to the proxy, then runs exchange; a failure of the exchange closes the
  // socket before it leaves.
  template <typename Exchange>
  void ConnectThroughProxy(const char* proxyHost, std::uint16_t proxyPort, Exchange exchange);
  // IsReadable (timeout), raising 10060 when nothing came.
  void WaitReadable(std::uint32_t timeout);
  // Receives until count bytes are in buffer, asking for no more than are missing;
  // received is how many are there already and is kept up to date.
  void ReceiveUntil(unsigned char* buffer, int& received, int count, std::uint32_t timeout);
  // The RFC 1929 sub-negotiation: raises 87 for a field over 255 bytes before sending,
  // 5 when the proxy rejects the pair.
  void AuthenticateSocks5(const char* userName, const char* password, std::uint32_t timeout);

  SOCKET m_hSocket = INVALID_SOCKET;
  bool m_bConnectionMade = false;  // Connect succeeded since the socket was opened
};

template <typename Exchange>
void CWSocket::ConnectThroughProxy(const char* proxyHost, std::uint16_t proxyPort,
                                   Exchange exchange) {
  Connect(proxyHost, proxyPort);
  try {
    exchange();
  } catch (...) {
    Close();
    throw;
  }
}
