// --queue: a message whose relay cannot be reached goes into the queue that the
// sendmail face flushes (queue/queue.h), whole as it would have gone out, so that the
// next flush (e-mailer --flush, or the timers) sends it.
#pragma once

#include <string>

#include "errors/exceptions.h"
#include "mime/message.h"

// True for a failure of the connect step that a later try may pass: a socket error
// (the server refuses, is silent or its name does not resolve), no greeting, or a 4xx
// reply. A setting or a sign-in that is wrong fails at once.
bool RelayUnreachable(const CException& error);

// Writes the message (its header block and its body, the files read block by block)
// into the queue of the run's settings with its envelope: sender, every To, Cc and
// Bcc recipient, the DSN options and account (empty: the default one). Gives the
// message its Message-ID first. Returns the entry's id. Raises CQueueError when the
// queue cannot be written, CTAVSMTPException 514 when a file cannot be read whole.
std::string QueueMessage(CTAVSMTPMessage& message, const std::string& account);
