// The lock table that the TLS library asks of its application: one re-entrant lock per
// slot the library reports, taken and given up through SslLockingCallback. The program
// works on one thread, so the locks are never contended.
#pragma once

#include <mutex>

// The table, CRYPTO_num_locks() locks; null when there is none.
extern std::recursive_mutex* g_pSslLocks;

// Builds the table; false (and g_pSslLocks null) when it cannot be allocated.
bool CreateSslLocks();

// Destroys the table and sets g_pSslLocks to null.
void ReleaseSslLocks();

// The library's locking callback: mode with CRYPTO_LOCK takes lock n, otherwise gives it
// up. Every lock is exclusive; file and line are not used; n is not range-checked, as the
// library passes only numbers below CRYPTO_num_locks().
void SslLockingCallback(int mode, int n, const char* file, int line);
