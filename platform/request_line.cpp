// The request line of a loopback listener's connection, whatever its sockets.
#include "platform/request_line.h"

namespace {

constexpr std::size_t requestCap = 8192;

}  // namespace

std::string ReadRequestLine(const std::function<long(char* buffer, std::size_t capacity)>& receive) {
  std::string request;
  while (request.find('\n') == std::string::npos && request.size() < requestCap) {
    char buffer[1024];
    long n = receive(buffer, sizeof buffer);
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t end = request.find('\n');
  std::string line = end == std::string::npos ? std::string() : request.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}
