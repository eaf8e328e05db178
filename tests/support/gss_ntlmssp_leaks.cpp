// gss-ntlmssp 1.2 fetches a digest from OpenSSL for every NT hash it computes (for each
// credential acquired with a password, and in an acceptor for each answer it checks) and
// never frees it. The leak checker of the sanitizer build passes over those, and only
// those, so it still reports every handle that the code under test fails to release.
// Allocation stacks are taken the slow way, as the fast one stops at the first library
// built without frame pointers, before it reaches the digest fetch.
extern "C" const char* __lsan_default_suppressions() { return "leak:EVP_MD_fetch\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
