#include "tests/support/proxies.h"

#include <vector>

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password)
    : server([&](std::uint16_t port) {
        std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
        return argv;
      }) {}

DanteProxy::DanteProxy()
    : server([this](std::uint16_t port) {
        std::string config =
            "logoutput: stderr\n"
            "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
            "external: 127.0.0.1\n"
            "clientmethod: none\n"
            "socksmethod: none\n"
            "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
            "  protocol: tcp\n}\n";
        return std::vector<std::string>{"/usr/sbin/danted", "-f",
                                        dir.Write("danted.conf", config).string()};
      }) {}

TinyProxy::TinyProxy(const std::string& user, const std::string& password)
    : server([&](std::uint16_t port) {
        // Without ConnectPort lines every port may be tunnelled to.
        std::string config = "Port " + std::to_string(port) + "\n" +
                             "Listen 127.0.0.1\n"
                             "Timeout 30\n"
                             "MaxClients 8\n"
                             "Allow 127.0.0.1\n"
                             "BasicAuth " + user + " " + password + "\n"
                             "LogLevel Info\n";
        return std::vector<std::string>{"tinyproxy", "-d", "-c",
                                        dir.Write("tinyproxy.conf", config).string()};
      }) {}
