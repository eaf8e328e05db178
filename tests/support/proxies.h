// Real proxies on free ports of 127.0.0.1 for integration tests, each stopped when its
// object goes: microsocks (SOCKS5), dante-server (SOCKS4 and SOCKS5) and tinyproxy
// (HTTP CONNECT). They relay only to 127.0.0.0/8. The configurations of dante and
// tinyproxy are the templates dante.conf.in and tinyproxy.conf.in of this folder, which
// proxies.py uses too. A Windows test program cannot start them: it takes the ones its
// native launcher (tests/windows/with_proxies.py) started, named in its environment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// A proxy running for a test. Constructors throw std::runtime_error when it does not
// start (or, on Windows, when the launcher started none of its kind and pair).
class TestProxy {
 public:
  std::uint16_t Port() const;

 protected:
  TestProxy();
  ~TestProxy();

  struct Running;
  std::unique_ptr<Running> running;
};

// SOCKS5; with a user name it demands RFC 1929 authentication with that pair.
class MicrosocksProxy : public TestProxy {
 public:
  explicit MicrosocksProxy(const std::string& user = "", const std::string& password = "");
};

// SOCKS4 and SOCKS5 without authentication; CONNECT to 127.0.0.0/8 only, so a request
// for any other address is refused by rule without leaving the host.
class DanteProxy : public TestProxy {
 public:
  DanteProxy();
};

// HTTP CONNECT to any port of 127.0.0.1, with Basic authorisation of this pair.
class TinyProxy : public TestProxy {
 public:
  TinyProxy(const std::string& user, const std::string& password);
};
