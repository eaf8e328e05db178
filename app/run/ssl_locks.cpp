#include "app/run/ssl_locks.h"

#include <openssl/crypto.h>

#include <new>

std::recursive_mutex* g_pSslLocks = nullptr;

bool CreateSslLocks() {
  g_pSslLocks = new (std::nothrow) std::recursive_mutex[static_cast<std::size_t>(CRYPTO_num_locks())];
  return g_pSslLocks != nullptr;
}

void ReleaseSslLocks() {
  delete[] g_pSslLocks;
  g_pSslLocks = nullptr;
}

void SslLockingCallback(int mode, int n, const char*, int) {
  if (mode & CRYPTO_LOCK) {
    g_pSslLocks[n].lock();
  } else {
    g_pSslLocks[n].unlock();
  }
}
