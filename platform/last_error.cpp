#include "platform/last_error.h"

namespace {
thread_local std::uint32_t lastError = 0;
}

int WSAGetLastError() { return static_cast<int>(lastError); }
void WSASetLastError(int error) { lastError = static_cast<std::uint32_t>(error); }

std::uint32_t GetLastError() { return lastError; }
void SetLastError(std::uint32_t error) { lastError = error; }
