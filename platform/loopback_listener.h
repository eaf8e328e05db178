// A listener on 127.0.0.1 at a port of the system's choosing, for the one request a
// browser makes to a loopback redirect (RFC 8252 7.3). Never raises: a failure comes
// back with the system's reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CLoopbackListener {
 public:
  // Binds and listens; Error() tells when it could not.
  CLoopbackListener();
  CLoopbackListener(const CLoopbackListener&) = delete;
  CLoopbackListener& operator=(const CLoopbackListener&) = delete;
  ~CLoopbackListener();

  const std::string& Error() const { return error; }
  std::uint16_t Port() const { return port; }

  // Waits at most timeout milliseconds for one connection and its request line (its
  // first 8 KiB at most), writes answer(requestLine) back and closes the connection.
  // The request line without its line end, or empty with Error() set.
  std::string ServeOne(std::uint32_t timeout,
                       const std::function<std::string(const std::string&)>& answer);

 private:
  std::intptr_t listener = -1;  // the system's socket; -1 when there is none
  std::uint16_t port = 0;
  std::string error;
};
