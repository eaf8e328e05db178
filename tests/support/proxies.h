// Real proxies on free ports of 127.0.0.1 for integration tests, each stopped when its
// object goes: microsocks (SOCKS5), dante-server (SOCKS4 and SOCKS5) and tinyproxy
// (HTTP CONNECT). They relay only to 127.0.0.0/8.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/server_process.h"

// SOCKS5; with a user name it demands RFC 1929 authentication with that pair.
class MicrosocksProxy {
 public:
  explicit MicrosocksProxy(const std::string& user = "", const std::string& password = "");
  std::uint16_t Port() const { return server.Port(); }

 private:
  ServerProcess server;
};

// SOCKS4 and SOCKS5 without authentication; CONNECT to 127.0.0.0/8 only, so a request
// for any other address is refused by rule without leaving the host.
class DanteProxy {
 public:
  DanteProxy();
  std::uint16_t Port() const { return server.Port(); }

 private:
  TempDir dir;
  ServerProcess server;
};

// HTTP CONNECT to any port of 127.0.0.1, with Basic authorisation of this pair.
class TinyProxy {
 public:
  TinyProxy(const std::string& user, const std::string& password);
  std::uint16_t Port() const { return server.Port(); }

 private:
  TempDir dir;
  ServerProcess server;
};
