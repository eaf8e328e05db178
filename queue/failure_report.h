// The short report mailed to the sender of a message that the queue gave up (RFC 3834
// marks it as automatic, so that no responder answers it).
#pragma once

#include <ctime>
#include <string>

#include "queue/queue.h"

// The report's message as the sendmail face reads one: a header without From (the
// program adds its own), the empty line and a plain body, LF line ends. It names the
// entry by its id, never by a path of this machine (the report may go far).
std::string FailureReportText(const CQueueEntry& entry, const std::string& reason);
