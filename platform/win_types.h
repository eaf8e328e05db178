// The Windows integer types that the engine's interfaces keep: an HRESULT is a signed
// 32-bit status whose bit 31 marks a failure, its facility sits in bits 16 to 28 and
// its code in bits 0 to 15.
#pragma once

#include <cstdint>

using HRESULT = std::int32_t;

constexpr std::uint32_t FACILITY_ITF = 4;
constexpr std::uint32_t FACILITY_WIN32 = 7;

constexpr HRESULT MakeFailureHresult(std::uint32_t facility, std::uint32_t code) {
  return static_cast<HRESULT>(0x80000000u | (facility << 16) | code);
}

constexpr std::uint32_t HresultFacility(HRESULT hr) {
  return (static_cast<std::uint32_t>(hr) & 0x1FFF0000u) >> 16;
}

constexpr std::uint32_t HresultCode(HRESULT hr) {
  return static_cast<std::uint32_t>(hr) & 0xFFFFu;
}
