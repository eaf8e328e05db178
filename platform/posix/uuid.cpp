#include "platform/uuid.h"

#include <uuid/uuid.h>

std::string NewUuidText() {
  uuid_t uuid;
  uuid_generate(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return std::string(text, 36);
}
