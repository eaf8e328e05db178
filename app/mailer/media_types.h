// The media type of an attachment, from its file name's extension: the system's table,
// /etc/mime.types (Debian's media-types), where it is there and names the extension,
// else a small table of the common types (on Windows there is no such file; Debian's
// names no ".log"), else application/octet-stream.
#pragma once

#include <string>
#include <string_view>

// The type for name (its extension compared without regard to case); table: the
// system's table file, read afresh on every call (a run asks once per attachment).
std::string MediaTypeOf(std::string_view name, const std::string& table = "/etc/mime.types");
