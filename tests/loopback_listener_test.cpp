// Issue 46, finding 5: the loopback listener serves connections side by side, and one
// that sends nothing is closed after a short wait, so idle connections cannot hold the
// sign-in until its end.
#include "platform/loopback_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

int Connect(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

TEST(LoopbackListener, IdleConnectionsHoldUpNeitherTheRequestNorEachOther) {
  CLoopbackListener listener;
  ASSERT_EQ(listener.Error(), "");
  std::vector<int> idle;
  std::thread client([&] {
    for (int i = 0; i < 8; ++i) idle.push_back(Connect(listener.Port()));
    const int fd = Connect(listener.Port());
    const std::string request = "GET /callback?code=c HTTP/1.1\r\n\r\n";
    EXPECT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    char reply[64];
    EXPECT_GT(recv(fd, reply, sizeof reply, 0), 0);
    close(fd);
  });
  const auto start = std::chrono::steady_clock::now();
  const std::string line = listener.ServeUntilTaken(30000, [](const std::string& request) {
    return CLoopbackListener::Answer{"HTTP/1.1 200 OK\r\n\r\n", request.find("code=") != std::string::npos};
  });
  const auto took = std::chrono::steady_clock::now() - start;
  client.join();
  for (int fd : idle) close(fd);
  EXPECT_EQ(line, "GET /callback?code=c HTTP/1.1");
  EXPECT_LT(took, std::chrono::seconds(1));  // not one wait per idle connection before it
}

TEST(LoopbackListener, AConnectionWithoutAByteIsClosedSoon) {
  CLoopbackListener listener;
  ASSERT_EQ(listener.Error(), "");
  const int fd = Connect(listener.Port());
  std::thread server([&] { listener.ServeUntilTaken(4000, [](const std::string&) { return CLoopbackListener::Answer{}; }); });
  const auto start = std::chrono::steady_clock::now();
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // closed by the listener
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  close(fd);
  server.join();
}

}  // namespace
