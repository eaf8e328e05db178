#include "app/run/ssl_locks.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <future>

namespace {

bool HeldByAnotherThread(int n) {
  return std::async(std::launch::async, [n] {
           bool free = g_pSslLocks[n].try_lock();
           if (free) g_pSslLocks[n].unlock();
           return !free;
         }).get();
}

TEST(SslLocks, CallbackTakesAndGivesUpEachSlotReentrantly) {
  ASSERT_TRUE(CreateSslLocks());
  ASSERT_NE(g_pSslLocks, nullptr);
  int last = CRYPTO_num_locks() - 1;

  SslLockingCallback(CRYPTO_LOCK, last, __FILE__, __LINE__);
  SslLockingCallback(CRYPTO_LOCK | CRYPTO_READ, last, __FILE__, __LINE__);  // nested: no block
  EXPECT_TRUE(HeldByAnotherThread(last));
  SslLockingCallback(CRYPTO_UNLOCK, last, __FILE__, __LINE__);
  EXPECT_TRUE(HeldByAnotherThread(last));
  SslLockingCallback(CRYPTO_UNLOCK | CRYPTO_READ, last, __FILE__, __LINE__);
  EXPECT_FALSE(HeldByAnotherThread(last));

  ReleaseSslLocks();
  EXPECT_EQ(g_pSslLocks, nullptr);
}

}  // namespace
