// The Windows and Winsock error numbers that the socket layer and its proxy tunnels
// raise of their own accord (every other number is a mapped system or resolver error).
#pragma once

inline constexpr int ERROR_ACCESS_DENIED = 5;          // SOCKS5 credentials rejected
inline constexpr int ERROR_BAD_NET_RESP = 58;          // SOCKS request not granted
inline constexpr int ERROR_INVALID_PARAMETER = 87;     // SOCKS5 field too long, bad reply
inline constexpr int ERROR_CONNECTION_REFUSED = 1225;  // HTTP proxy status other than 200
inline constexpr int WSAEINVAL = 10022;                // local address cannot be resolved
inline constexpr int WSAENOTSOCK = 10038;              // readable-wait without a socket
inline constexpr int WSAECONNRESET = 10054;            // proxy closed before its reply ended
inline constexpr int WSAETIMEDOUT = 10060;             // proxy reply not readable in time
inline constexpr int WSAECONNREFUSED = 10061;          // SOCKS5 method not offered
