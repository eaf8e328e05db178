// The queue's folder and files: entries made from a spool, read, put off, given up,
// set aside and removed, each change a whole file put in place by rename.
#include "queue/queue.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "platform/private_folder.h"
#include "platform/state_folder.h"
#include "platform/uuid.h"
#include "queue/entry_text.h"
#include "queue/failure_report.h"

namespace {

constexpr std::string_view entrySuffix = ".entry";
constexpr std::string_view stateSuffix = ".state";
// The most envelope text an entry may hold before its message (many recipients fit).
constexpr std::size_t maxEnvelopeBytes = 1024 * 1024;
constexpr std::size_t copyBlockBytes = 64 * 1024;

void Check(const std::string& error) {
  if (!error.empty()) throw CQueueError(error, false);
}

// "20261209T001500.123456Z-3fa9c1b2": the time to the microsecond, so that ids sort as
// the messages were queued, and 8 random hexadecimal digits.
std::string NewEntryId() {
  using namespace std::chrono;
  const auto time = floor<microseconds>(system_clock::now());
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[80];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02ld%02ld%02lld.%06lldZ-", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long>(clock.hours().count()), static_cast<long>(clock.minutes().count()),
                static_cast<long long>(clock.seconds().count()),
                static_cast<long long>(clock.subseconds().count()));
  return text + NewUuidText().substr(0, 8);
}

// The envelope block of an open entry file, up to its empty line; false when there is
// none within the bound.
bool ReadEnvelopeBlock(std::FILE* file, std::string& block) {
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\n' && !block.empty() && block.back() == '\n') {
      block.pop_back();
      return true;
    }
    block += static_cast<char>(c);
    if (block.size() > maxEnvelopeBytes) return false;
  }
  return false;
}

// The entry of the file path, or false when it is corrupt.
bool ReadEntry(const std::string& path, CQueueEntry& entry) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string block;
  bool read = ReadEnvelopeBlock(file, block) && ParseEnvelopeText(block, entry);
  entry.dataOffset = block.size() + 2;
  std::fclose(file);
  std::error_code error;
  const std::uintmax_t fileSize = std::filesystem::file_size(path, error);
  return read && !error && fileSize == entry.dataOffset + entry.size;
}

std::string FileText(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  char block[4096];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0 && text.size() < maxEnvelopeBytes;) {
    text.append(block, n);
  }
  std::fclose(file);
  return text;
}

// Removes the temporary files in folder last written before since: the runs that
// wrote them were stopped.
void RemoveTemporaryFiles(const std::string& folder, std::filesystem::file_time_type since) {
  std::error_code ignored;
  for (const auto& item : std::filesystem::directory_iterator(folder, ignored)) {
    if (item.path().filename().string().starts_with(temporaryFilePrefix) &&
        std::filesystem::last_write_time(item.path(), ignored) < since) {
      std::filesystem::remove(item.path(), ignored);
    }
  }
}

}  // namespace

CQueuePlace QueuePlace(bool systemSettings) {
  const std::string spool = systemSettings ? SystemSpoolFolder() : std::string();
  if (!spool.empty()) return {spool, true};
  return {ProgramStateFolder() + "/queue", false};
}

CQueue::CQueue(const CQueuePlace& place) : folder(place.folder), shared(place.shared) {
  std::string problem;
  if (shared) {
    Check(MakeSharedFolder(folder));
    const SharedPathCheck check = CheckSharedPath(folder, true);
    problem = check.problem;
    keeper = check.callers;
  } else {
    Check(MakePrivateFolder(folder));
    problem = PrivatePathProblem(folder, true);
  }
  if (!problem.empty()) throw CQueueError("the queue folder is refused: " + problem, true);
}

std::string CQueue::Path(const std::string& name) const { return folder + "/" + name; }

std::string CQueue::FileProblem(const std::string& path) const {
  return shared ? CheckSharedPath(path, false).problem : PrivatePathProblem(path, false);
}

std::string CQueue::Subfolder(const std::string& name) const {
  const std::string path = Path(name);
  Check(shared ? MakeSharedFolder(path) : MakePrivateFolder(path));
  return path;
}

std::string CQueue::EntryPath(const std::string& id) const { return Path(id + std::string(entrySuffix)); }

CQueue::Scan CQueue::Read() const {
  Scan scan;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    if (name.starts_with('.') || !name.ends_with(entrySuffix)) continue;
    const std::string path = Path(name);
    // Another user's entry in the shared spool is not this caller's to see.
    if (!keeper && !CheckSharedPath(path, false).callers) continue;
    std::string problem = FileProblem(path);
    if (!problem.empty()) {
      scan.refused.push_back("the queue entry is refused: " + problem);
      continue;
    }
    CQueueEntry entry;
    entry.id = name.substr(0, name.size() - entrySuffix.size());
    entry.owner = FileOwner(path);
    if (ReadEntry(path, entry)) {
      scan.entries.push_back(std::move(entry));
    } else {
      scan.corrupt.push_back(entry.id);
    }
  }
  std::ranges::sort(scan.entries, [](const CQueueEntry& a, const CQueueEntry& b) {
    return a.queued != b.queued ? a.queued < b.queued : a.id < b.id;
  });
  return scan;
}

CQueueState CQueue::State(const std::string& id) const {
  const std::string path = Path(id + std::string(stateSuffix));
  if (!FileProblem(path).empty()) return {};
  return ParseStateText(FileText(path));
}

void CQueue::Remove(const std::string& id) const {
  Check(RemoveFileDurably(EntryPath(id)));
  Check(RemoveFileDurably(Path(id + std::string(stateSuffix))));
}

void CQueue::SetState(const std::string& id, const CQueueState& state) const {
  Check(ReplaceFileDurably(Path(id + std::string(stateSuffix)), StateText(state), shared));
}

std::string CQueue::Fail(const CQueueEntry& entry, const std::string& reason, std::time_t now) const {
  const std::string failed = Subfolder("failed");
  CQueueState state = State(entry.id);
  state.reason = reason;
  state.nextTry = 0;
  Check(ReplaceFileDurably(failed + "/" + entry.id + std::string(stateSuffix), StateText(state), shared));
  const std::string keptAt = failed + "/" + entry.id + std::string(entrySuffix);
  Check(MoveFileDurably(EntryPath(entry.id), keptAt));
  Check(RemoveFileDurably(Path(entry.id + std::string(stateSuffix))));
  if (entry.envelope.report || entry.envelope.sender.empty()) return {};

  CQueueEnvelope envelope;
  envelope.recipients = {entry.envelope.sender};
  envelope.dotEndsInput = false;
  envelope.report = true;
  envelope.account = entry.envelope.account;  // back through the server the sender chose
  CQueueSpool report(*this);
  report.Write(FailureReportText(entry, reason));
  return report.Commit(envelope, now);
}

std::string CQueue::SetAside(const std::string& id) const {
  const std::string corrupt = Subfolder("corrupt");
  const std::string keptAt = corrupt + "/" + id + std::string(entrySuffix);
  Check(MoveFileDurably(EntryPath(id), keptAt));
  Check(RemoveFileDurably(Path(id + std::string(stateSuffix))));
  return keptAt;
}

void CQueue::RemoveLeftovers() const {
  if (!keeper) return;  // what is left may be another user's run, still writing
  // failed/ and corrupt/ get their files as the queue does, through a temporary file.
  const auto dayAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  for (const std::string& where : {folder, Path("failed"), Path("corrupt")}) RemoveTemporaryFiles(where, dayAgo);
  std::error_code ignored;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    if (!name.ends_with(stateSuffix)) continue;
    const std::string id = name.substr(0, name.size() - stateSuffix.size());
    if (!std::filesystem::exists(EntryPath(id), ignored)) std::filesystem::remove(Path(name), ignored);
  }
}

void CQueue::AskKeeper() const {
  if (shared) Check(TouchSharedFile(Path(".flush-requested")));
}

void CQueue::TakeKeeperRequest() const {
  if (!shared || !keeper) return;
  std::error_code ignored;
  std::filesystem::remove(Path(".flush-requested"), ignored);
}

CQueueSpool::CQueueSpool(const CQueue& owner) : queue(owner) { Check(spool.Create(queue.Folder(), queue.Shared())); }

void CQueueSpool::Write(std::string_view bytes) {
  Check(spool.Write(bytes));
  size += bytes.size();
}

std::string CQueueSpool::Commit(const CQueueEnvelope& envelope, std::time_t now) {
  // An entry that a flush could not read would be set aside, and the message lost.
  const std::string envelopeText = EnvelopeText(envelope, now, size);
  CQueueEntry parsed;
  if (!ParseEnvelopeText(envelopeText.substr(0, envelopeText.size() - 2), parsed) || !(parsed.envelope == envelope)) {
    throw CQueueError(envelope.recipients.empty() ? "a message without recipients is not queued"
                                                  : "the message's envelope cannot be queued",
                      false);
  }
  std::string id = NewEntryId();
  std::error_code ignored;
  while (std::filesystem::exists(queue.EntryPath(id), ignored)) id = NewEntryId();
  CDurableFile entry;
  Check(entry.Create(queue.Folder(), queue.Shared()));
  Check(entry.Write(envelopeText));
  std::FILE* bytes = std::fopen(spool.TemporaryPath().c_str(), "rb");
  if (bytes == nullptr) throw CQueueError("\"" + spool.TemporaryPath() + "\" cannot be read back", false);
  std::string block(copyBlockBytes, '\0');
  std::uint64_t copied = 0;
  std::string error;
  for (std::size_t n; error.empty() && (n = std::fread(block.data(), 1, block.size(), bytes)) > 0;) {
    error = entry.Write(std::string_view(block.data(), n));
    copied += n;
  }
  std::fclose(bytes);
  Check(error);
  if (copied != size) throw CQueueError("\"" + spool.TemporaryPath() + "\" was cut while queued", false);
  Check(entry.Commit(queue.EntryPath(id)));
  CQueueEntry written;
  if (!ReadEntry(queue.EntryPath(id), written) || !(written.envelope == envelope) || written.size != size) {
    Check(RemoveFileDurably(queue.EntryPath(id)));
    throw CQueueError("the queue entry " + id + " did not read back as written, and was removed", false);
  }
  spool.Discard();
  return id;
}

CQueueEntryReader::CQueueEntryReader(const CQueue& queue, const CQueueEntry& entry) : left(entry.size) {
  const std::string path = queue.EntryPath(entry.id);
  file = std::fopen(path.c_str(), "rb");
  if (file == nullptr || std::fseek(file, static_cast<long>(entry.dataOffset), SEEK_SET) != 0) {
    if (file != nullptr) std::fclose(file);
    throw CQueueError("the queue entry " + entry.id + " cannot be read", false);
  }
}

CQueueEntryReader::~CQueueEntryReader() { std::fclose(file); }

long CQueueEntryReader::Read(char* buffer, std::size_t capacity) {
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, left));
  if (wanted == 0) return 0;
  const std::size_t n = std::fread(buffer, 1, wanted, file);
  if (n == 0) return -1;  // the entry is shorter than its envelope says
  left -= n;
  return static_cast<long>(n);
}
