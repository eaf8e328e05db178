// The bytes of SOCKS4 and SOCKS5 (RFC 1928, RFC 1929) exchanges, for scripted proxies
// that check what a tunnel sends and answer it. The target is 127.0.0.1 port 25 unless
// a builder takes another.
#pragma once

#include <initializer_list>
#include <string>

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// SOCKS4 CONNECT with an empty user id, and the proxy's grant (90).
inline const std::string socks4Request = Bytes({4, 1, 0, 25, 127, 0, 0, 1, 0});
inline const std::string socks4Granted = Bytes({0, 90, 0, 0, 0, 0, 0, 0});

// The SOCKS5 method lists: "no authentication" alone, and with user name/password.
inline const std::string greetingNoAuth = Bytes({5, 1, 0});
inline const std::string greetingWithAuth = Bytes({5, 2, 0, 2});
inline const std::string connectByAddress = Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 25});
// Success, bound to 10.0.0.9 port 1080.
inline const std::string replyIPv4 = Bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x04, 0x38});

inline std::string UserPasswordRequest(const std::string& user, const std::string& password) {
  return Bytes({1, static_cast<int>(user.size())}) + user +
         Bytes({static_cast<int>(password.size())}) + password;
}

inline std::string ConnectByName(const std::string& name, int port = 25) {
  return Bytes({5, 1, 0, 3, static_cast<int>(name.size())}) + name +
         Bytes({port >> 8, port & 0xFF});
}
