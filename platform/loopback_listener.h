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

  // What ServeUntilTaken does with a request line: the reply to write back, and whether
  // it was the request awaited.
  struct Answer {
    std::string reply;
    bool taken = false;
  };

  // Serves connections side by side (Linux; one at a time on Windows), for at most
  // timeout milliseconds in all, until answer takes a request: each connection's request
  // line (its first 8 KiB at most, awaited for at most 10 seconds, and its first byte
  // for 2, so that connections a browser opens ahead and leaves idle hold up neither the
  // one with the request nor the sign-in) goes to answer, whose reply is written back
  // before the connection is closed. The request line taken, without
  // its line end, or empty with Error() set.
  std::string ServeUntilTaken(std::uint32_t timeout,
                              const std::function<Answer(const std::string&)>& answer);

 private:
  std::intptr_t listener = -1;  // the system's socket; -1 when there is none
  std::uint16_t port = 0;
  std::string error;
};
