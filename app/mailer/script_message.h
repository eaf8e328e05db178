// The message that the script options describe: the files it carries, checked before
// anything is sent, and its tree of parts. Text and HTML bodies read from files and
// attachments go out from their files block by block (the engine's file parts), so a
// file of any size takes the same memory; a body from standard input is first copied
// to a temporary file of the user's own (mode 0600), removed at the end of the run.
//
//   text only:                the plain message, as without options
//   a text file alone:        multipart/mixed holding it
//   text and HTML:            multipart/alternative (text first, then the HTML)
//   HTML with --inline files: multipart/related (the HTML, then each file, whose
//                             Content-ID is <name>, for "cid:name" in the HTML)
//   with --attach files:      multipart/mixed (the above, then each attachment)
#pragma once

#include <optional>
#include <string>

#include "app/mailer/script_options.h"
#include "mime/message.h"
#include "platform/durable_file.h"

// The status of a file that cannot be read (EX_NOINPUT) and of standard input that
// fails (EX_IOERR).
inline constexpr int scriptNoInputStatus = 66;
inline constexpr int scriptInputFailedStatus = 74;

class CScriptFiles {
 public:
  // Checks that every file the options name is a regular file that can be read and is
  // smaller than 4 GiB, and that every --inline name can be a Content-ID (printable
  // ASCII without blanks, "<" or ">"); copies standard input for --body-file -. nullopt
  // when all is well; otherwise the status (66 for a file, naming it and why; 64 for a
  // name; 74 when standard input fails) once its line is on standard error.
  std::optional<int> Prepare(const ScriptOptions& options);

  // The file the text body is read from: the --body-file, or the copy of standard
  // input; empty without one.
  const std::string& BodyPath() const { return bodyPath; }

 private:
  std::optional<int> CopyStandardInput();

  std::string bodyPath;
  CDurableFile inputCopy;
};

// The name an attachment shows: --name, else its file name without the folders
// (after the last '/' or '\').
std::string FileTitle(const ScriptFile& file);

// Puts the bodies and files into message, whose rootPart.charset is the run's: text is
// the text body given on the command line (none when nullopt); bodyPath the file of a
// text body (empty: none). Without files the message stays plain (SetBody).
void ComposeParts(CTAVSMTPMessage& message, const ScriptOptions& options, const std::optional<std::string>& text,
                  const std::string& bodyPath);
