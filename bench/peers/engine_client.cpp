// The engine's side of the peer comparison: CTAVSMTPConnection sending count messages
// of about bytes bytes over one connection, or one message with a file attached.
//
//   engine_client [-t] [-b] [-n count] (-l bytes | -a file) host port
//   engine_client -w file -l bytes
//
// With -b the messages go through the batch call (SendBatch, pipelined across messages
// where the server offers PIPELINING); otherwise SendMailMessage sends them one by one,
// each pipelined where offered.
// Prints the wall time and the process's peak resident size; exits 0 when every
// message went out, 1 when the engine raised, 2 on a usage error. With -w it sends
// nothing and writes the text that goes out after DATA for such a message (header
// block, empty line, body, up to the final dot) to file, for the floor client to send
// the same bytes.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mime/message.h"
#include "mime/message_id.h"
#include "smtp/connection.h"
#include "smtp/message_batch.h"

namespace {

// A mechanism outside AuthMechanism: EHLO and no authentication. HELO (AuthNone) would
// learn nothing of PIPELINING.
constexpr std::int32_t greetWithEhlo = -1;

struct Options {
  bool tls = false;
  bool batch = false;
  long count = 1;
  long bodyBytes = -1;
  const char* attachment = nullptr;
  const char* textFile = nullptr;
  const char* host = nullptr;
  int port = 0;
};

bool ParseOptions(int argc, char* argv[], Options& options) {
  int opt;
  while ((opt = getopt(argc, argv, "tbn:l:a:w:")) != -1) {
    if (opt == 't') options.tls = true;
    else if (opt == 'b') options.batch = true;
    else if (opt == 'n') options.count = std::atol(optarg);
    else if (opt == 'l') options.bodyBytes = std::atol(optarg);
    else if (opt == 'a') options.attachment = optarg;
    else if (opt == 'w') options.textFile = optarg;
    else return false;
  }
  if (options.textFile != nullptr) return argc == optind && options.bodyBytes >= 0;
  if (argc - optind != 2 || (options.attachment == nullptr) == (options.bodyBytes < 0) ||
      options.count < 1 || (options.batch && options.attachment != nullptr)) {
    return false;
  }
  options.host = argv[optind];
  options.port = std::atoi(argv[optind + 1]);
  return true;
}

// Lines of 78 characters and CR LF, like the floor client's and smtp-source's bodies.
std::string BodyText(long bytes) {
  std::string body;
  for (long line = 1; static_cast<long>(body.size()) < bytes; ++line) {
    body += static_cast<char>('0' + line % 10);
    body.append(77, 'X');
    body += "\r\n";
  }
  return body;
}

void FillMessage(CTAVSMTPMessage& message, const Options& options) {
  message.from = CTAVSMTPAddress("Bench", "a@b");
  message.AppendRecipient(CTAVSMTPAddress("Sink", "c@d"), CTAVSMTPMessage::RecipientTo);
  message.subject = "engine";
  if (options.attachment == nullptr) {
    message.SetBody(BodyText(options.bodyBytes));
    return;
  }
  message.mime = true;
  message.SetBody("A file is attached.");
  CTAVSMTPBodyPart file;
  file.attachmentPath = options.attachment;
  file.maxAttachmentSize = 0xFFFFFFFF;  // the driver sends whatever file it is given
  file.attachmentTitle = "attachment.bin";
  file.contentType = "application/octet-stream";
  file.quotedPrintable = false;
  file.base64 = true;
  message.rootPart.AddChild(file);
}

// The text of a message without parts as it goes out after DATA, up to the dot of the
// end-of-data line. Its body has no line that starts with a dot: nothing is stuffed.
bool WriteMessageText(CTAVSMTPMessage& message, const char* path) {
  message.messageId = MakeMessageId(message.from.emailAddress, "");
  const std::string text = message.BuildHeader() + "\r\n" + message.PlainBodyText() + "\r\n";
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

// The messages of options over connection; false when the server refused one.
bool SendMessages(CTAVSMTPConnection& connection, CTAVSMTPMessage& message, const Options& options) {
  if (!options.batch) {
    for (long i = 0; i < options.count; ++i) connection.SendMailMessage(message);
    return true;
  }
  // The batch is handed the one message count times, as the loop above sends it: the
  // same Message-ID, a header block (and Date) made for each.
  long given = 0, refused = 0;
  CMessageBatchSource source(
      connection, [&] { return given++ < options.count ? &message : nullptr; },
      [&](CTAVSMTPMessage&, const CBatchOutcome& outcome) { refused += outcome.accepted ? 0 : 1; });
  connection.SendBatch(source);
  if (refused > 0) std::fprintf(stderr, "engine_client: %ld message(s) refused\n", refused);
  return refused == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: engine_client [-t] [-b] [-n count] (-l bytes | -a file) host port\n"
                 "       engine_client -w file -l bytes\n");
    return 2;
  }
  if (options.textFile != nullptr) {
    CTAVSMTPMessage message;
    FillMessage(message, options);
    return WriteMessageText(message, options.textFile) ? 0 : 1;
  }
  const auto start = std::chrono::steady_clock::now();
  try {
    CTAVSMTPConnection connection;
    connection.m_bPipelining = true;  // where the server offers it, as the program does
    connection.Connect(options.host, greetWithEhlo, "", "", options.port, options.tls);
    CTAVSMTPMessage message;
    FillMessage(message, options);
    const bool allSent = SendMessages(connection, message, options);
    connection.Disconnect(true);
    if (!allSent) return 1;
  } catch (const CTAVSMTPException& e) {
    std::fprintf(stderr, "engine_client: error 0x%08X: %s\n", static_cast<unsigned>(e.m_hrError),
                 e.m_sLastResponseText.c_str());
    return 1;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld message(s) in %.3f s (%.0f per second); peak resident %ld KiB\n", options.count,
              elapsed.count(), static_cast<double>(options.count) / elapsed.count(), usage.ru_maxrss);
  return 0;
}
