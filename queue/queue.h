// The durable queue of the sendmail face: messages that could not be sent when they
// were given (the server away, a 4xx reply), kept on disk until a flush sends them.
// Every change is a whole file put in place by rename (platform/durable_file.h), so a
// crash at any point leaves an entry whole or not there at all.
//
// The folder (QueuePlace): ${XDG_STATE_HOME:-$HOME/.local/state}/e-mailer/queue for a
// run with the user's own settings, %LOCALAPPDATA%\e-mailer\queue on Windows; mode 0700
// and the user's own, else it is refused and nothing in it is read. A run with the
// system's settings uses the system's spool, /var/spool/e-mailer, shared through the
// program's group (platform/private_folder.h): mode 2770, open to no other user; each
// entry is its submitter's (mode 0640, the group reads it), and a run sees only the
// caller's own entries unless the caller keeps the spool (root, or its owner, the user
// e-mailer whose timer flushes it). Anything looser is refused and not read.
//
//   <id>.entry          one queued message, mode 0600 (0640 in the shared spool)
//   <id>.state          its tries so far; missing before the first
//   .tmp-XXXXXX         a file being written (a spool, an entry, a state); one older
//                       than a day was left by a crash and is removed by the next flush
//   .lock               held by the flush that runs (one at a time); in the shared
//                       spool only the keeper's runs (root's and the user e-mailer's)
//                       take it, never a run that an ordinary user starts
//   .flush-requested    in the shared spool: a submission asks the keeper to flush
//                       (e-mailer-flush.path starts it while the file is there); the
//                       keeper removes it before it reads the spool
//   failed/<id>.entry   messages given up (a 5xx reply, or older than QueueLifetime),
//   failed/<id>.state   with the reason in their state file
//   corrupt/<id>.entry  entries that could not be read, moved aside and named
//
// An id is the time queued (UTC, to the microsecond) and 8 random hexadecimal digits,
// such as "20261209T001500.123456Z-3fa9c1b2"; ids sort in the order the messages were
// queued.
//
// An entry is text lines "Name: value" ending in LF, an empty line, and then the
// message exactly as the caller gave it (the bytes read from standard input, before any
// change for sending):
//
//   e-mailer queue entry 1
//   Queued: 1796775300          seconds since 1970-01-01 UTC
//   Sender: a@example.org       the envelope sender; empty: the null sender <>
//   Recipient: b@example.org    one line per recipient, in order, aliases resolved
//   Notify: -1                  DSN NOTIFY bits (1 success, 2 failure, 4 delay); -1 none
//   ReturnFull: 0               DSN RET=FULL
//   EnvelopeID:                 DSN ENVID
//   FullName:                   -F: the display name of a From line the program adds
//   DotEndsInput: 1             a line of a single "." ends the message (no -i)
//   Report: 0                   1: a failure report, which never causes another
//   Size: 1234                  the bytes of the message after the empty line
//   Account: work               the account (settings key Accounts\work) it goes out
//                               through; only for an account other than the default
//
// Values are percent-encoded: "%", bytes below 0x20 and 0x7f are written %XX. Unknown
// names are an entry of a later version: such an entry counts as corrupt. The version
// stays 1 with the Account line: an entry without it is the default account's, as every
// entry written before accounts were; an entry with it is one that a program without
// accounts cannot send through the right server, and such a program sets it aside as
// corrupt rather than sending it through its only one, as a version 2 would be. A state
// file holds "Tries: 2", "NextTry: <seconds since 1970>" and "Reason: <the last
// failure>" lines, encoded the same way.
//
// Running it:
//   printf 'Subject: t\n\nhi\n' | e-mailer-sendmail -i a@example.org
//       tries to send; a connect failure, a timeout, a 4xx reply or a server name that
//       does not resolve queues it instead: exit 0, "queued as <id>: <why>" on
//       standard error. -odq queues without trying. Settings: Queue 0 turns queueing
//       off; QueueLifetime gives the days before a queued message fails (default 5).
//   e-mailer-sendmail -q, e-mailer --flush   sends every entry now, whatever its back-off
//   e-mailer --flush-due                     sends the entries that are due (the timers)
//   e-mailer-sendmail -bp                    lists the queue
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/durable_file.h"

// Where a queue lies: its folder, and whether it is the system's shared spool.
struct CQueuePlace {
  std::string folder;
  bool shared = false;
};

// The queue of a run (see above); systemSettings: the run uses the system's settings. It
// may not exist yet.
CQueuePlace QueuePlace(bool systemSettings);

// A failure of the queue's files. permission: the folder or an entry is not the
// user's own (another owner, open to other users), so it was not read.
class CQueueError : public std::runtime_error {
 public:
  CQueueError(const std::string& text, bool permissionProblem)
      : std::runtime_error(text), permission(permissionProblem) {}
  bool permission;
};

// What a queued message goes out with: its envelope and the options that shape its
// text.
struct CQueueEnvelope {
  std::string sender;  // empty: the null sender
  std::vector<std::string> recipients;
  std::int32_t dsnNotify = -1;
  bool dsnReturnFull = false;
  std::string dsnEnvelopeId;
  std::string fullName;
  bool dotEndsInput = true;
  bool report = false;
  std::string account;  // empty: the default account

  friend bool operator==(const CQueueEnvelope&, const CQueueEnvelope&) = default;
};

struct CQueueEntry {
  std::string id;
  std::time_t queued = 0;
  CQueueEnvelope envelope;
  std::uint64_t size = 0;        // bytes of the message
  std::uint64_t dataOffset = 0;  // where the message starts in the entry file
  long owner = -1;               // the user id of its file: who queued it (-1: not known)
};

struct CQueueState {
  int tries = 0;
  std::time_t nextTry = 0;  // 0: due now
  std::string reason;       // the last failure
};

// The state after one more failed try at now: the next try 1 minute later after the
// first failure, the wait doubling with each further one up to 1 hour.
CQueueState PutOffState(const CQueueState& previous, std::time_t now, const std::string& reason);

// The queue in its folder. Every operation raises CQueueError naming the file and why.
class CQueue {
 public:
  // Creates the folder (0700; a shared one 2770) when missing. Raises CQueueError
  // (permission) when it is not the user's own (a shared one: when it is open to all).
  explicit CQueue(const CQueuePlace& place);

  const std::string& Folder() const { return folder; }
  bool Shared() const { return shared; }

  struct Scan {
    std::vector<CQueueEntry> entries;  // oldest first
    std::vector<std::string> refused;  // why each entry not the user's own was not read
    std::vector<std::string> corrupt;  // the ids of entries that could not be read
  };
  // Reads every entry's envelope (not its message).
  // In the shared spool only the caller's own entries, unless the caller keeps it.
  Scan Read() const;
  // The entry's state; a fresh one when it has none or it cannot be read.
  CQueueState State(const std::string& id) const;

  // Removes a sent entry and its state.
  void Remove(const std::string& id) const;
  void SetState(const std::string& id, const CQueueState& state) const;
  // Moves the entry and its state (with the reason) to failed/; when the sender has an
  // address and the entry is no report itself, queues a report of it to the sender,
  // through the entry's account. Returns the report's id, empty when none.
  std::string Fail(const CQueueEntry& entry, const std::string& reason, std::time_t now) const;
  // Moves the entry id to corrupt/; returns its new path.
  std::string SetAside(const std::string& id) const;
  // Removes what a crash left: temporary files older than a day (here, in failed/ and
  // in corrupt/), and state files whose entry is gone; in the shared spool only when
  // the caller keeps it.
  void RemoveLeftovers() const;

  std::string EntryPath(const std::string& id) const;

  // True when the caller keeps the queue: sees every entry (root or the spool's owner
  // in the shared spool; always in a private queue).
  bool Keeper() const { return keeper; }

  // The submission's call to the keeper: makes .flush-requested (in a private queue
  // nothing). Raises CQueueError.
  void AskKeeper() const;
  // The keeper's answer, before it reads the spool: removes .flush-requested, so that
  // a submission after this point asks again. Never raises.
  void TakeKeeperRequest() const;

 private:
  std::string Path(const std::string& name) const;
  // Why path (an entry or a state file) may not be read; empty when it may.
  std::string FileProblem(const std::string& path) const;
  // Makes the subfolder failed/ or corrupt/ when missing; returns its path.
  std::string Subfolder(const std::string& name) const;
  std::string folder;
  bool shared = false;
  bool keeper = true;  // sees every entry: always for a private queue
};

// A message on its way into the queue: its bytes are written to a temporary file in
// the queue folder as they are read; Commit makes it an entry, and a spool never
// committed is removed.
class CQueueSpool {
 public:
  explicit CQueueSpool(const CQueue& queue);
  // Raises CQueueError when the bytes cannot be written.
  void Write(std::string_view bytes);
  // Writes the entry (envelope, then the spooled bytes) to disk and puts it in place;
  // once it returns, the entry survives any crash and reads back as it was given.
  // Returns its id. Raises CQueueError, and queues nothing, for an envelope that would
  // not read back (no recipient) or an entry that does not (it is then removed).
  std::string Commit(const CQueueEnvelope& envelope, std::time_t now);

 private:
  const CQueue& queue;
  CDurableFile spool;
  std::uint64_t size = 0;
};

// Reads the message of an entry, from the byte after its envelope, as the sendmail
// face reads standard input.
class CQueueEntryReader {
 public:
  // Raises CQueueError when the entry cannot be opened.
  CQueueEntryReader(const CQueue& queue, const CQueueEntry& entry);
  CQueueEntryReader(const CQueueEntryReader&) = delete;
  CQueueEntryReader& operator=(const CQueueEntryReader&) = delete;
  ~CQueueEntryReader();
  // Up to capacity bytes: the count, 0 at the end of the message, -1 on a failure.
  long Read(char* buffer, std::size_t capacity);

 private:
  std::FILE* file = nullptr;
  std::uint64_t left = 0;
};

// The listing of -bp: one block per entry with its id, age, size, sender, account
// (when not the default), recipients, next try and last reason, then a line with the
// count; "Mail queue is empty" when empty.
std::string QueueListing(const CQueue& queue, std::time_t now);
