// The test proxies of proxies.h in a Windows test program: the ones its native launcher
// tests/windows/with_proxies.py started, whose ports are in the environment.
#include "tests/support/proxies.h"

#include <cstdlib>
#include <stdexcept>

namespace {

// The port in the environment variable name; throws when the launcher set none.
std::uint16_t LauncherPort(const char* name) {
  const char* port = std::getenv(name);
  if (port == nullptr || std::atoi(port) <= 0) {
    throw std::runtime_error(std::string("no ") + name +
                             ": run the test through tests/windows/with_proxies.py");
  }
  return static_cast<std::uint16_t>(std::atoi(port));
}

// Throws unless user and password are the pair the launcher's proxies demand.
void RequireLauncherPair(const std::string& user, const std::string& password) {
  const char* launcherUser = std::getenv("EMAILER_PROXY_USER");
  const char* launcherPassword = std::getenv("EMAILER_PROXY_PASSWORD");
  if (launcherUser == nullptr || launcherPassword == nullptr || user != launcherUser ||
      password != launcherPassword) {
    throw std::runtime_error("with_proxies.py starts its proxies with another pair than " +
                             user + " / " + password);
  }
}

}  // namespace

struct TestProxy::Running {
  std::uint16_t port = 0;
};

TestProxy::TestProxy() : running(std::make_unique<Running>()) {}
TestProxy::~TestProxy() = default;

std::uint16_t TestProxy::Port() const { return running->port; }

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password) {
  if (user.empty()) {
    running->port = LauncherPort("EMAILER_MICROSOCKS_PORT");
    return;
  }
  RequireLauncherPair(user, password);
  running->port = LauncherPort("EMAILER_MICROSOCKS_AUTH_PORT");
}

DanteProxy::DanteProxy() { running->port = LauncherPort("EMAILER_DANTE_PORT"); }

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
  RequireLauncherPair(user, password);
  running->port = LauncherPort("EMAILER_TINYPROXY_PORT");
}
