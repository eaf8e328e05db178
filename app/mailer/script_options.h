// The options of the command line for scripts: recipients, sender, subject and body
// (given or read from a file or standard input), an HTML body with its inline parts,
// attachments, extra header lines, priority, delivery status notifications, the
// outcome as JSON and queueing while the server cannot be reached. Without any of them
// the command line is what it always was (subject, body and "showui").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mime/address.h"

// A file of the message besides its text bodies: an attachment (--attach) or a part of
// the HTML (--inline), with the type and name that --type and --name gave it (empty:
// from its file name).
struct ScriptFile {
  std::string path;
  std::string type;
  std::string name;
  bool inlinePart = false;
};

struct ScriptOptions {
  bool given = false;  // the command line holds at least one of the options
  std::vector<CTAVSMTPAddress> to, cc, bcc;
  std::optional<CTAVSMTPAddress> from;
  std::optional<std::string> fromName;
  std::optional<CTAVSMTPAddress> replyTo;
  std::optional<std::string> subject;
  std::optional<std::string> body;
  std::optional<std::string> bodyFile;  // "-": standard input
  std::optional<std::string> htmlFile;
  std::vector<ScriptFile> files;
  std::vector<std::string> headers;  // "Name: value"
  int priority = 0;                  // CTAVSMTPMessage::PriorityNone
  std::int32_t notify = -1;          // DSN NOTIFY bits; -1: no DSN
  bool returnFull = false;
  bool json = false;
  bool queue = false;
  std::optional<std::string> account;  // --account anywhere among the options
};

// The usage status of a refused option line (EX_USAGE).
inline constexpr int scriptUsageStatus = 64;

// Takes the options and their values out of arguments (the parameters as main() has
// them), leaving the subject, body and "showui" words in their order; "--" ends the
// options, the words after it are all parameters. Does nothing when no option is
// there, or when the command line is a --check or --authorize (whose "--json" is its
// own). Returns the refusal, one line naming the option or value, for an option that
// is unknown, lacks its value or is given twice, a value that is not an address or
// not one of the option's words, a header line that holds a line end, is not
// "Name: value" or names a field that the program makes (From, To, Cc, Bcc, Subject,
// Date, Message-ID, MIME-Version, Content-*), a --type or --name that no --attach or
// --inline follows, and --body beside --body-file; nullopt when the options are fine.
std::optional<std::string> TakeScriptOptions(std::vector<std::string>& arguments, ScriptOptions& options);
