// MD5 through the CryptoAPI hash interface (CALG_MD5) of a verify-only RSA provider.
#include "platform/md5_provider.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

namespace {

// CryptHashData takes a 32-bit length, so a longer range goes in in pieces.
bool HashRange(HCRYPTHASH hash, const unsigned char* data, std::size_t length) {
  constexpr std::size_t largestPiece = 0x80000000u;
  do {
    DWORD piece = static_cast<DWORD>(std::min(length, largestPiece));
    if (!CryptHashData(hash, data, piece, 0)) return false;
    data += piece;
    length -= piece;
  } while (length > 0);
  return true;
}

}  // namespace

Md5ProviderHandle AcquireMd5Provider() {
  // No key container: the provider only hashes, and it never asks the user anything.
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    return 0;
  }
  return provider;
}

void ReleaseMd5Provider(Md5ProviderHandle provider) {
  if (provider != 0) CryptReleaseContext(provider, 0);
}

bool ComputeMd5(Md5ProviderHandle provider, std::initializer_list<Md5Range> parts,
                Md5Value& output, std::uint32_t& error) {
  // Without a provider CryptCreateHash fails, and its error is the one reported.
  HCRYPTHASH hash = 0;
  bool ok = CryptCreateHash(provider, CALG_MD5, 0, 0, &hash);
  for (const auto& [data, length] : parts) ok = ok && HashRange(hash, data, length);
  DWORD size = static_cast<DWORD>(output.size());
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, output.data(), &size, 0);
  if (!ok) error = GetLastError();
  if (hash != 0) CryptDestroyHash(hash);
  // The failing call's error stays the last error, whatever the clean-up did to it.
  if (!ok) SetLastError(error);
  return ok;
}
