// Construction, destruction and the HELO host name of CTAVSMTPConnection.
#include "smtp/connection.h"

#include <cstring>

#include <unistd.h>

namespace {
constexpr std::size_t hostNameBufferSize = 260;
}

CTAVSMTPConnection::CTAVSMTPConnection() { SetHeloHostname("auto"); }

// m_socket is destroyed before m_sslSocket, which refers to it: shut TLS down while
// both still stand.
CTAVSMTPConnection::~CTAVSMTPConnection() { m_sslSocket.Close(); }

void CTAVSMTPConnection::SetHeloHostname(const char* name) {
  if (std::strcmp(name, "auto") != 0) {
    m_sHeloHostname = name;
    return;
  }
  char hostName[hostNameBufferSize] = {};
  // One byte is kept back so that a name cut to the buffer's size stays terminated.
  bool found = gethostname(hostName, sizeof hostName - 1) == 0;
  m_sHeloHostname = found ? hostName : "auto";
}
