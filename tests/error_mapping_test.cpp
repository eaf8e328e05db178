#include "platform/posix/error_mapping.h"

#include <cerrno>
#include <netdb.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/system_messages.h"

TEST(ErrorMapping, SocketErrnoValuesBecomeWinsockNumbers) {
  EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10054);
  EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockErrorFromErrno(EINVAL), 10022);
  EXPECT_EQ(WinsockErrorFromErrno(ENOENT), 10107);
}

TEST(ErrorMapping, ResolverResultsBecomeWinsockNumbers) {
  EXPECT_EQ(WinsockErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WinsockErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WinsockErrorFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WinsockErrorFromResolver(EAI_NODATA, 0), 11004);
  EXPECT_EQ(WinsockErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(ErrorMapping, LastErrorIsPerThreadAndSharedWithSystemError) {
  WSASetLastError(WinsockErrorFromErrno(ETIMEDOUT));
  EXPECT_EQ(WSAGetLastError(), 10060);
  EXPECT_EQ(GetLastError(), 10060u);
  std::thread([] { EXPECT_EQ(WSAGetLastError(), 0); }).join();
}

TEST(SystemMessages, EveryMappedNumberHasAText) {
  for (int e = 1; e < 134; ++e) {
    EXPECT_FALSE(SystemMessageText(static_cast<std::uint32_t>(WinsockErrorFromErrno(e))).empty())
        << "errno " << e;
  }
  for (int eai : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA, EAI_ADDRFAMILY, EAI_MEMORY,
                  EAI_FAMILY, EAI_SOCKTYPE, EAI_SERVICE, EAI_BADFLAGS, 12345}) {
    EXPECT_FALSE(SystemMessageText(static_cast<std::uint32_t>(WinsockErrorFromResolver(eai, 0))).empty())
        << "EAI " << eai;
  }
  for (std::uint32_t n : {5u, 58u, 87u, 1225u, 0x80090300u, 0x80090302u}) {
    EXPECT_FALSE(SystemMessageText(n).empty()) << n;
  }
  EXPECT_EQ(SystemMessageText(12345), "");
}
