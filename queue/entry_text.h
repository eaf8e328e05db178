// The text of an entry's envelope and of a state file, as queue/queue.h describes
// them: "Name: value" lines with percent-encoded values.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "queue/queue.h"

// The first line of every entry; an entry of a later version has another.
inline constexpr std::string_view entryFirstLine = "e-mailer queue entry 1";

// The envelope block with its empty line, for a message of size bytes queued at queued.
std::string EnvelopeText(const CQueueEnvelope& envelope, std::time_t queued, std::uint64_t size);
// Reads an envelope block (without the empty line that ends it) into entry; false when
// a line is missing, unknown, repeated or does not parse.
bool ParseEnvelopeText(std::string_view text, CQueueEntry& entry);

std::string StateText(const CQueueState& state);
// A state that cannot be read counts as a fresh one.
CQueueState ParseStateText(std::string_view text);

// A text (a server's reply, a path) as one line of printable characters, for a listing
// or a report.
std::string PrintableLine(std::string_view text);
