// The plain transport's send under POSIX signals: a send that a signal cuts short still
// delivers every byte. (Windows has no signals that cut a send.)
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <sys/time.h>

#include "smtp/connection.h"
#include "tests/support/scripted_peer.h"

using namespace std::chrono_literals;

// A signal that lands while send() waits for room makes it return a short count (or
// fail with EINTR before any byte went); every byte must still go out, in order.
TEST(PlainTransport, SendDeliversEveryByteThoughSignalsCutItsWrites) {
  std::string text(8 << 20, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);
  ScriptedPeer peer{PeerScript().Pause(50ms).Expect(text)};
  CTAVSMTPConnection c;
  c.CreateTransport();
  c.TransportConnect("127.0.0.1", peer.Port());

  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};
  sigaction(SIGALRM, &interrupt, nullptr);  // no SA_RESTART: blocked calls are cut short
  itimerval every{{0, 500}, {0, 500}};
  setitimer(ITIMER_REAL, &every, nullptr);
  int sent = c.TransportSend(text.data(), static_cast<int>(text.size()));
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);

  EXPECT_EQ(sent, static_cast<int>(text.size()));
  EXPECT_EQ(peer.Finish(), "");
  c.TransportClose();
}
