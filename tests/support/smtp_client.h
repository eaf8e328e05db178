// A connection for wire tests of the session: it greets as "client", waits 300 ms for
// each reply, and tells whether it is closed; and the HRESULTs its errors carry.
#pragma once

#include <cstdint>

#include "smtp/connection.h"

class TestClient : public CTAVSMTPConnection {
 public:
  TestClient() {
    SetHeloHostname("client");
    m_dwTimeout = 300;
  }

  void ConnectTo(std::uint16_t port, std::int32_t mechanism = AuthNone,
                 const char* user = "user", const char* password = "secret") {
    Connect("127.0.0.1", mechanism, user, password, port, false);
  }

  bool Closed() const { return !m_bConnected && m_socket.GetSocketHandle() == INVALID_SOCKET; }
};

constexpr HRESULT Itf(std::uint32_t message) { return MakeFailureHresult(FACILITY_ITF, message); }
constexpr HRESULT Win32(std::uint32_t error) { return MakeFailureHresult(FACILITY_WIN32, error); }
