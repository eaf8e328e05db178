// CWSocket: one blocking IPv4 or IPv6 TCP socket with a readable-wait in milliseconds,
// bounded connects and sends, and the three proxy tunnels that open it through SOCKS4,
// SOCKS5 (RFC 1928, RFC 1929) or an HTTP CONNECT proxy (RFC 9110 section 9.3.6).
//
// Every failing call raises CWSocketException with a Winsock error number (the
// platform's last socket error, platform/socket_api.h; on Linux errno and resolver
// failures mapped to their Winsock numbers), kept as the thread's last error. Only
// Close reports failure through its result.
//
// Host-name rule (Bind, Connect, the tunnels; net/host_address.h): a dotted IPv4
// address (inet_addr), an IPv6 literal ("::1" or "[::1]"), or a name whose every
// address is tried in turn, IPv4 addresses first. SOCKS4 reaches IPv4 targets only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/host_address.h"
#include "platform/socket_api.h"


class CWSocket {
 public:
  CWSocket() = default;
  CWSocket(const CWSocket&) = delete;
  CWSocket& operator=(const CWSocket&) = delete;
  // Closes an open socket.
  virtual ~CWSocket();

  // Opens an AF_INET stream socket with TCP_NODELAY set (a connect or bind to an IPv6
  // address opens one of that family in its place). A socket still open from before is
  // closed first, and a binding is forgotten. Raises the last Winsock error.
  SOCKET Create();

  // Binds to port at address (null: the any-address; otherwise the host-name rule, the
  // first address), reopening the socket for an IPv6 address. Raises 10022 for an
  // address that cannot be resolved, else the last Winsock error.
  void Bind(std::uint16_t port, const char* address);
  int Bind(const sockaddr* address, socklen_t length);

  // Connects to host's addresses in turn until one answers (ConnectToAny). Raises the
  // resolver's error when host cannot be resolved.
  void Connect(const char* host, std::uint16_t port);
  // Tries each address in turn, each connect waiting at most the socket's timeout
  // (SetTimeout; none by default); after a failed one, a new socket of the next
  // address's family (bound again to the bound address) tries the next. A bound socket
  // skips addresses of the other family. Raises the most telling failure: a refusal
  // (10061) over a timeout (10060) over any other; 10047 when no address was of the
  // bound family. The socket stays open after a failure.
  void ConnectToAny(const std::vector<CSocketAddress>& addresses);
  // One connect, waiting at most the socket's timeout; raises the connect call's
  // Winsock error, 10060 when the time ran out.
  int Connect(const sockaddr* address, socklen_t length);

  // One send call (never raises SIGPIPE); the count may be short. Raises 10060 when
  // the peer took no byte within the socket's timeout, else the last Winsock error.
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
  // True when bytes wait to be read now; nothing is taken. Never raises.
  bool HasUnreadData();
  // Bounds each connect and each send while the peer takes nothing, including the
  // sends that OpenSSL makes on the socket, to timeout milliseconds; 0 removes the
  // bound. Kept for a socket created later. Raises the last Winsock error.
  void SetTimeout(std::uint32_t timeout);
  // Bounds each later receive that blocks, including those that OpenSSL makes on the
  // socket, to timeout milliseconds (at least 1): one that waits longer fails as if
  // nothing were there yet (a would-block on Linux, WSAETIMEDOUT on Windows). Kept for a socket reopened for another address.
  // Raises the last Winsock error.
  void SetReceiveTimeout(std::uint32_t timeout);

  // Closes an open socket and returns the system's close result; -1 when none is open. Never
  // raises.
  int Close();

  SOCKET GetSocketHandle() const { return m_hSocket; }

  // The tunnels. Each connects to the proxy (a failure there raises Connect's error and
  // leaves the socket open), then runs the proxy's exchange; a failure of the exchange
  // closes the socket and raises:
  //   10060 a reply byte is not readable within timeout (each wait bounded alone)
  //   10054 the proxy closed the connection before its reply was complete
  //   10047 SOCKS4 target given as an IPv6 literal
  //   last Winsock error: a socket call failed, or SOCKS4 cannot resolve the target
  //   58    SOCKS4 reply other than 0, 90; SOCKS5 CONNECT reply with non-zero status
  //   10061 SOCKS5 proxy chose a method that was not offered
  //   87    SOCKS5 user name, password or target name longer than 255 bytes; SOCKS5
  //         reply address type other than 1, 3 or 4; HTTP credentials too long to encode
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
  // Resolves host to one IPv4 address (SOCKS4); false with the last error set when it
  // cannot, 10047 for an IPv6 literal.
  static bool ResolveHost(const char* host, std::uint32_t* address);
  // Opens a socket of family with the options and bounds set so far.
  SOCKET Open(int family);
  // Open, then bind to the bound address if there is one.
  void Reopen(int family);
  // One send call; Send with the hint of SendAll's more.
  int SendPiece(const void* data, int length, int flags, bool more);
  // Bounds the socket's blocking sends (receive: receives) to timeout milliseconds.
  void ApplyTimeout(bool receive, std::uint32_t timeout);

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
  int m_nFamily = AF_INET;              // of the open socket
  std::uint32_t m_dwTimeout = 0;         // ms for each connect and send; 0: no bound
  std::uint32_t m_dwReceiveTimeout = 0;  // ms for each blocking receive; 0: no bound
  bool m_bBound = false;                 // Bind has set m_boundAddress
  CSocketAddress m_boundAddress;
  bool m_bConnectionMade = false;        // Connect succeeded since the socket was opened
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
