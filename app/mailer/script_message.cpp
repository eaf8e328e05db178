#include "app/mailer/script_message.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/mailer/media_types.h"
#include "platform/read_only_file.h"
#include "platform/standard_input.h"
#include "platform/terminal_text.h"

namespace {

// The engine's own ceiling: sizes are 32 bits wide.
constexpr std::uint32_t maxFileSize = UINT32_MAX;

// Standard input is copied in pieces of this size.
constexpr std::size_t inputBlockBytes = 64 * 1024;

// Why path cannot be sent as a file part; empty when it can.
std::string FileProblem(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(std::filesystem::path(path), error);
  if (error) return error.message();
  if (std::filesystem::is_directory(status)) return "it is a folder";
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  CReadOnlyFile file;
  errno = 0;
  if (!file.Open(path)) {
    const int reason = errno;
    return reason != 0 ? std::generic_category().message(reason) : "it cannot be opened for reading";
  }
  CFileStamp stamp;
  if (!file.Stamp(stamp)) return "its size cannot be read";
  if (stamp.size > maxFileSize) return "it is larger than 4 GiB";
  return {};
}

std::optional<int> CheckFile(const std::string& option, const std::string& path) {
  const std::string problem = FileProblem(path);
  if (problem.empty()) return std::nullopt;
  WriteErrorLine(option + ": cannot read " + path + ": " + problem);
  return scriptNoInputStatus;
}

// A Content-ID as RFC 2045 takes it between its angle brackets.
bool CanBeContentId(const std::string& name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c <= '~' && c != '<' && c != '>'; });
}

CTAVSMTPBodyPart FilePart(const std::string& path, const std::string& type, const std::string& charset) {
  CTAVSMTPBodyPart part;
  part.attachmentPath = path;
  part.contentType = type;
  part.charset = charset;
  part.maxAttachmentSize = maxFileSize;
  return part;
}

CTAVSMTPBodyPart Container(const char* type, const std::string& charset) {
  CTAVSMTPBodyPart part;
  part.contentType = type;
  part.charset = charset;
  part.quotedPrintable = false;
  return part;
}

CTAVSMTPBodyPart TextPart(const std::optional<std::string>& text, const std::string& bodyPath,
                          const std::string& charset) {
  if (!bodyPath.empty()) {
    CTAVSMTPBodyPart part = FilePart(bodyPath, "text/plain", charset);
    part.disposition.clear();
    return part;
  }
  CTAVSMTPBodyPart part;
  part.charset = charset;
  part.SetBodyText(text.value_or(""));
  return part;
}

CTAVSMTPBodyPart FileOfMessage(const ScriptFile& file, const std::string& charset) {
  const std::string title = FileTitle(file);
  CTAVSMTPBodyPart part = FilePart(file.path, file.type.empty() ? MediaTypeOf(title) : file.type, charset);
  part.attachmentTitle = title;
  if (file.inlinePart) {
    part.disposition = "inline";
    part.contentId = "<" + title + ">";
  }
  return part;
}

// The HTML, with its inline files as multipart/related around it.
CTAVSMTPBodyPart HtmlPart(const ScriptOptions& options, const std::string& charset) {
  CTAVSMTPBodyPart html = FilePart(*options.htmlFile, "text/html", charset);
  html.disposition.clear();
  if (std::none_of(options.files.begin(), options.files.end(), [](const ScriptFile& f) { return f.inlinePart; })) {
    return html;
  }
  CTAVSMTPBodyPart related = Container("multipart/related", charset);
  related.AddChild(html);
  for (const ScriptFile& file : options.files) {
    if (file.inlinePart) related.AddChild(FileOfMessage(file, charset));
  }
  return related;
}

}  // namespace

std::string FileTitle(const ScriptFile& file) {
  if (!file.name.empty()) return file.name;
  const auto slash = file.path.find_last_of("/\\");
  return slash == file.path.npos ? file.path : file.path.substr(slash + 1);
}

std::optional<int> CScriptFiles::Prepare(const ScriptOptions& options) {
  if (options.bodyFile && *options.bodyFile == "-") {
    if (std::optional<int> failed = CopyStandardInput()) return failed;
  } else if (options.bodyFile) {
    if (std::optional<int> failed = CheckFile("--body-file", *options.bodyFile)) return failed;
    bodyPath = *options.bodyFile;
  }
  if (options.htmlFile) {
    if (std::optional<int> failed = CheckFile("--html-file", *options.htmlFile)) return failed;
  }
  for (const ScriptFile& file : options.files) {
    const std::string option = file.inlinePart ? "--inline" : "--attach";
    if (std::optional<int> failed = CheckFile(option, file.path)) return failed;
    const std::string title = FileTitle(file);
    if (title.empty() || title.size() > 255 ||
        std::any_of(title.begin(), title.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      WriteErrorLine(option + ": the name of " + file.path + " cannot be sent; give one with --name");
      return scriptUsageStatus;
    }
    if (file.inlinePart && !CanBeContentId(title)) {
      WriteErrorLine("--inline: " + title + " cannot be a Content-ID (printable ASCII without blanks, < or >); give a name with --name");
      return scriptUsageStatus;
    }
  }
  return std::nullopt;
}

std::optional<int> CScriptFiles::CopyStandardInput() {
  std::error_code error;
  const std::string folder = std::filesystem::temp_directory_path(error).string();
  std::string problem = error ? error.message() : inputCopy.Create(folder);
  auto buffer = std::make_unique<char[]>(inputBlockBytes);
  for (long n; problem.empty() && (n = ReadStandardInput(buffer.get(), inputBlockBytes)) != 0;) {
    if (n < 0) {
      WriteErrorLine("--body-file -: standard input cannot be read");
      return scriptInputFailedStatus;
    }
    problem = inputCopy.Write(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
  }
  if (!problem.empty()) {
    WriteErrorLine("--body-file -: standard input cannot be kept for sending: " + problem);
    return scriptInputFailedStatus;
  }
  bodyPath = inputCopy.TemporaryPath();
  return std::nullopt;
}

void ComposeParts(CTAVSMTPMessage& message, const ScriptOptions& options, const std::optional<std::string>& text,
                  const std::string& bodyPath) {
  const bool attachments =
      std::any_of(options.files.begin(), options.files.end(), [](const ScriptFile& f) { return !f.inlinePart; });
  if (bodyPath.empty() && !options.htmlFile && !attachments) {
    message.SetBody(text.value_or(""));
    return;
  }
  const std::string charset = message.rootPart.charset;
  const bool withText = text || !bodyPath.empty() || !options.htmlFile;
  std::optional<CTAVSMTPBodyPart> content;
  if (options.htmlFile && withText) {
    content = Container("multipart/alternative", charset);
    content->AddChild(TextPart(text, bodyPath, charset));
    content->AddChild(HtmlPart(options, charset));
  } else {
    content = options.htmlFile ? HtmlPart(options, charset) : TextPart(text, bodyPath, charset);
  }
  message.mime = true;
  if (!attachments && !content->children.empty()) {
    message.rootPart = *content;
    message.rootPart.text = multipartPreamble;
    return;
  }
  message.rootPart = Container("multipart/mixed", charset);
  message.rootPart.text = multipartPreamble;
  message.rootPart.AddChild(*content);
  for (const ScriptFile& file : options.files) {
    if (!file.inlinePart) message.rootPart.AddChild(FileOfMessage(file, charset));
  }
}
