// A MIME message: a text with an HTML alternative, and a file attached. The part tree
//   multipart/mixed
//     multipart/alternative
//       text/plain   (quoted-printable)
//       text/html    (quoted-printable)
//     the file       (Base64, read when the message is sent)
// is built from CTAVSMTPBodyPart values; AddChild copies a part into its parent, so a
// part is complete before it is added. Texts are UTF-8 here: a program that has not
// called setlocale runs in the "C" locale, whose text the engine takes as UTF-8.
//   mime_message HOST PORT USER PASSWORD FILE
#include <cstdlib>
#include <string>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

namespace {

CTAVSMTPBodyPart TextPart(const char* type, const std::string& text) {
  CTAVSMTPBodyPart part;
  part.SetBodyText(text);  // line ends become CR LF; the type becomes text/plain
  part.contentType = type;
  part.charset = "UTF-8";
  return part;
}

CTAVSMTPBodyPart Attachment(const std::string& path) {
  CTAVSMTPBodyPart part;
  part.contentType = "application/octet-stream";
  part.attachmentPath = path;
  part.attachmentTitle = path.substr(path.find_last_of('/') + 1);  // the name it shows
  return part;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 64;

  CTAVSMTPBodyPart alternative;
  alternative.contentType = "multipart/alternative";
  alternative.quotedPrintable = false;
  alternative.AddChild(TextPart("text/plain", "The report is attached.\nCaf\u00e9 at ten?"));
  alternative.AddChild(TextPart("text/html",
                                "<p>The report is <b>attached</b>.</p><p>Caf\u00e9 at ten?</p>"));

  CTAVSMTPMessage message;
  message.mime = true;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("Example recipient", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Report with an HTML alternative";
  message.rootPart.contentType = "multipart/mixed";
  message.rootPart.charset = "UTF-8";  // the charset of the header's encoded words
  message.rootPart.text = "This is a multi-part message in MIME format.";
  message.rootPart.AddChild(alternative);
  message.rootPart.AddChild(Attachment(argv[5]));

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");
  connection.m_dwTimeout = 30000;
  try {
    connection.Connect(argv[1], AuthLogin, argv[3], argv[4], std::atoi(argv[2]), false);
    // 514 when the file cannot be read or is larger than maxAttachmentSize (50 MiB).
    connection.SendMailMessage(message);
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Sending", e);
  }
  return 0;
}
