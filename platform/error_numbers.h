// The Windows and Winsock error numbers that the program raises or returns of its own
// accord (every other number is a mapped system or resolver error), in one table.
#pragma once

inline constexpr int ERROR_SUCCESS = 0;
inline constexpr int ERROR_FILE_NOT_FOUND = 2;         // registry key or value missing
inline constexpr int ERROR_ACCESS_DENIED = 5;          // SOCKS5 credentials rejected; key access
inline constexpr int ERROR_INVALID_HANDLE = 6;         // no MD5 provider; bad registry key
inline constexpr int ERROR_NOT_ENOUGH_MEMORY = 8;      // a digest call failed
inline constexpr int ERROR_BAD_NET_RESP = 58;          // SOCKS request not granted
inline constexpr int ERROR_INVALID_PARAMETER = 87;     // field too long, bad reply, bad file
inline constexpr int ERROR_MORE_DATA = 234;            // registry value larger than the buffer
inline constexpr int ERROR_BADDB = 1009;               // settings file cannot be parsed
inline constexpr int ERROR_BADKEY = 1010;              // key name taken by a non-key
inline constexpr int ERROR_CONNECTION_REFUSED = 1225;  // HTTP proxy status other than 200
inline constexpr int WSAEINVAL = 10022;                // local address cannot be resolved
inline constexpr int WSAENOTSOCK = 10038;              // readable-wait without a socket
inline constexpr int WSAEAFNOSUPPORT = 10047;          // SOCKS4 target or bind of another family
inline constexpr int WSAECONNRESET = 10054;            // proxy closed before its reply ended
inline constexpr int WSAETIMEDOUT = 10060;             // connect, send or proxy reply not in time
inline constexpr int WSAECONNREFUSED = 10061;          // SOCKS5 method not offered
inline constexpr int WSAHOST_NOT_FOUND = 11001;        // a name with no IPv4 or IPv6 address
