// A scripted TCP peer for wire tests. It listens on a free port of 127.0.0.1, accepts
// one connection in a thread of its own and plays a script against it: expect exact
// bytes or take whatever comes, send bytes (whole, in pieces with pauses, or not at
// all), close or reset, wait for the other side to close, or run a step of the test's
// own. The first step that goes wrong ends the script and becomes the report that
// Finish returns; bytes that arrive after the last step count as unexpected.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/peer_socket.h"

class PeerScript {
 public:
  // Reads exactly these bytes.
  PeerScript& Expect(std::string bytes);
  // Sends the bytes in one write.
  PeerScript& Send(std::string bytes);
  // Sends the bytes in pieces of pieceSize bytes with a pause before each piece after
  // the first, so that they arrive in separate segments.
  PeerScript& SendSplit(std::string bytes, std::size_t pieceSize,
                        std::chrono::milliseconds pause = std::chrono::milliseconds(5));
  // Waits without sending.
  PeerScript& Pause(std::chrono::milliseconds pause);
  // Reads the next bytes that arrive, whatever they are (at least one).
  PeerScript& ReadAny();
  // Reads one line, whatever it holds, up to and including its CR LF.
  PeerScript& ReadLine();
  // Reads whatever arrives up to and including the first occurrence of terminator (for
  // text the test cannot know byte for byte, such as a message with its date).
  PeerScript& ReadUntil(std::string terminator);
  // Closes the connection.
  PeerScript& Close();
  // Closes the connection abortively: the other side gets a reset, not an orderly close.
  PeerScript& Reset();
  // Reads until the other side closes; any byte that arrives first is a mismatch.
  // Answering nothing and waiting here is how a peer goes silent.
  PeerScript& ExpectClosed();
  // Reads whatever arrives until the other side closes: a silent peer that lets the
  // other side say what it likes on its way out.
  PeerScript& ReadUntilClosed();
  // Runs action in the peer's thread at this point of the conversation, for a test that
  // looks at or changes the world while the other side waits; a text it returns fails
  // the step.
  PeerScript& Do(std::function<std::string()> action);
  // Appends the steps of more.
  PeerScript& Then(const PeerScript& more);

 private:
  friend class ScriptedPeer;
  enum class Kind {
    Expect, ReadAny, ReadLine, ReadUntil, Send, Pause, Close, Reset, ExpectClosed, ReadUntilClosed,
    Do
  };
  struct Step {
    Kind kind;
    std::string bytes;
    std::size_t pieceSize = 0;
    std::chrono::milliseconds pause{0};
    std::function<std::string()> action{};
  };
  std::vector<Step> steps;
};

class ScriptedPeer {
 public:
  // The loopback address the peer listens on: 127.0.0.1 or ::1.
  enum class Loopback { IPv4, IPv6 };

  // stepBound limits every single wait of a step (for the connection, for bytes, for
  // the close); a step that runs out of it fails. Throws std::runtime_error when it
  // cannot listen.
  explicit ScriptedPeer(PeerScript script,
                        std::chrono::milliseconds stepBound = std::chrono::seconds(5),
                        Loopback loopback = Loopback::IPv4);
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;
  // Abandons a script that is still running and closes everything.
  ~ScriptedPeer();

  std::uint16_t Port() const { return port; }

  // Waits until the script has run (each wait bounded by stepBound), closes the
  // connection and returns what went wrong, or "" when every step passed and nothing
  // unexpected arrived.
  std::string Finish();
  // Every byte the peer has received; valid after Finish.
  const std::string& Received() const { return received; }

 private:
  enum class Wait { Ready, Closed, TimedOut, Stopped };

  void Run(PeerScript script);
  std::string RunStep(const PeerScript::Step& step);
  std::string ExpectBytes(const std::string& bytes);
  std::string ReadAnyBytes();
  std::string ReadLineBytes();
  std::string ReadUntilBytes(const std::string& terminator);
  // With anyBytes, bytes that arrive before the close are taken; otherwise they fail.
  std::string ExpectClose(bool anyBytes);
  std::string SendBytes(const std::string& bytes, std::size_t pieceSize,
                        std::chrono::milliseconds pause);
  std::string Drain();
  // Waits for socket to be readable, giving up at bound or when stop is raised.
  Wait WaitReadable(peer_socket::Handle socket, const peer_socket::Wakeup& stop,
                    std::chrono::milliseconds bound);
  bool Pause(std::chrono::milliseconds pause);

  std::chrono::milliseconds stepBound;
  peer_socket::Handle listener = peer_socket::none;
  peer_socket::Handle connection = peer_socket::none;
  peer_socket::Wakeup finishWakeup;  // raised by Finish: the script may end its final wait
  peer_socket::Wakeup abortWakeup;   // raised by the destructor: every wait ends at once
  std::uint16_t port = 0;
  std::string received;
  std::string report;
  std::thread thread;
  bool finished = false;
};

// True when this machine has the IPv6 loopback address ::1 to listen on.
bool HasIPv6Loopback();

// Bytes as C-escaped text for failure messages; long texts are cut after 160 bytes.
std::string EscapeBytes(const std::string& bytes);
