// UUIDs from the RPC run-time (UuidCreate, UuidToStringA).
#include "platform/uuid.h"

#include <rpc.h>

#include <algorithm>
#include <cctype>

std::string NewUuidText() {
  UUID uuid;
  UuidCreate(&uuid);
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&uuid, &text) != RPC_S_OK || text == nullptr) return {};
  std::string result(reinterpret_cast<const char*>(text));
  RpcStringFreeA(&text);
  // UuidToStringA writes lower case; the text form is lower case whatever it gives.
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}
