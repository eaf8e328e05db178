// The test proxies of proxies.h on Linux: each started by the test on a free port, with
// its configuration made from this folder's template.
#include "tests/support/proxies.h"

#include <map>
#include <optional>
#include <vector>

#include "tests/support/server_process.h"

namespace {

// The template file name of this folder with each "@KEY@" replaced by its value.
std::string ConfigFromTemplate(const std::string& name,
                               const std::map<std::string, std::string>& values) {
  std::string text = ReadFile(std::string(EMAILER_TEST_SUPPORT_DIR) + "/" + name);
  for (const auto& [key, value] : values) {
    const std::string field = "@" + key + "@";
    for (std::size_t at; (at = text.find(field)) != std::string::npos;) {
      text.replace(at, field.size(), value);
    }
  }
  return text;
}

}  // namespace

struct TestProxy::Running {
  TempDir dir;
  std::optional<ServerProcess> server;
};

TestProxy::TestProxy() : running(std::make_unique<Running>()) {}
TestProxy::~TestProxy() = default;

std::uint16_t TestProxy::Port() const { return running->server->Port(); }

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password) {
  running->server.emplace([&](std::uint16_t port) {
    std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    return argv;
  });
}

DanteProxy::DanteProxy() {
  running->server.emplace([this](std::uint16_t port) {
    std::string config = ConfigFromTemplate("dante.conf.in", {{"PORT", std::to_string(port)}});
    return std::vector<std::string>{"/usr/sbin/danted", "-f",
                                    running->dir.Write("danted.conf", config).string()};
  });
}

TinyProxy::TinyProxy(const std::string& user, const std::string& password) {
  running->server.emplace([&](std::uint16_t port) {
    std::string config = ConfigFromTemplate(
        "tinyproxy.conf.in",
        {{"PORT", std::to_string(port)}, {"USER", user}, {"PASSWORD", password}});
    return std::vector<std::string>{"tinyproxy", "-d", "-c",
                                    running->dir.Write("tinyproxy.conf", config).string()};
  });
}
