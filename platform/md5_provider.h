// MD5 (RFC 1321) as the system provides it: a provider acquired once per user of it,
// and single MD5 computations through it over byte ranges fed in order. OpenSSL's
// digest interface serves on Linux, the CryptoAPI hash interface on Windows.
//
// Nothing here raises; failures are returned.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

// A handle to the system's MD5 provider; 0 when none could be acquired.
using Md5ProviderHandle = std::uintptr_t;
using Md5Range = std::pair<const unsigned char*, std::size_t>;
using Md5Value = std::array<unsigned char, 16>;

// A provider for hashing only; 0 when the system has none to give.
Md5ProviderHandle AcquireMd5Provider();
// Gives back a provider that AcquireMd5Provider returned; 0 is left alone.
void ReleaseMd5Provider(Md5ProviderHandle provider);

// Feeds the ranges in order into one fresh MD5 computation and stores its value in
// output. On failure returns false with the system's error number in error (on Linux 6
// when there is no provider, 8 when a digest call failed; on Windows the last error of
// the failing CryptoAPI call, which is also left as the thread's last error); output is
// unspecified then.
bool ComputeMd5(Md5ProviderHandle provider, std::initializer_list<Md5Range> parts,
                Md5Value& output, std::uint32_t& error);
