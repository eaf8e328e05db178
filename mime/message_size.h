// The size of a message's text as RFC 1870 counts it for SIZE: every octet of the
// header block, the empty line and the encoded body, line ends counted as CR LF; not
// the dots that stuffing adds nor the end-of-data line.
#pragma once

#include <cstdint>
#include <optional>

#include "mime/body_part.h"

// The octets of the Base64 text that CAttachmentStream makes of size bytes: 76
// characters to a line, each full line ended by CR LF.
std::uint64_t Base64TextLength(std::uint64_t size);

// The octets of a part tree as the transfer sends it below its root (the root's own
// header is the message header's): each child's header, every body as RenderBody
// renders it without dot stuffing (an attachment's from its file's size alone), and
// each container's closing boundary. Null when an attachment cannot be opened or is
// larger than its limit: the transfer then fails on it as it always did. A Base64 text
// part too long for the coder raises CTAVSMTPException 540.
std::optional<std::uint64_t> PartTreeLength(CTAVSMTPBodyPart& root);
