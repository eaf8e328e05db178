// The Windows side of RunShellCommand: cmd.exe /d /s /c started with CreateProcessA in a
// job object of its own, standard input from NUL, standard error the program's, and its
// output read from a pipe only as far as PeekNamedPipe shows it filled, so no read waits.
#include "platform/shell_command.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/shell_process.h"
#include "platform/system_messages.h"

namespace {

// A handle closed when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) { Reset(h); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(nullptr); }
  void Reset(HANDLE h) {
    if (handle != nullptr) CloseHandle(handle);
    handle = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  HANDLE Get() const { return handle; }

 private:
  HANDLE handle = nullptr;
};

// Big enough that a command never waits for the 10 ms turns of the reader below the cap.
constexpr DWORD pipeSize = 64 * 1024;
// How long the end of a terminated job is waited for: it is due at once.
constexpr DWORD killWait = 5000;  // ms

// The command interpreter: %ComSpec%, or cmd.exe in the system folder.
std::string CommandInterpreter() {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("ComSpec", path, sizeof path);
  if (length > 0 && length < sizeof path) return path;
  UINT folder = GetSystemDirectoryA(path, sizeof path);
  return std::string(path, folder < sizeof path ? folder : 0) + "\\cmd.exe";
}

// Sets the job's limit flags: the processes left in it end when its last handle closes,
// or they live on.
bool SetKillOnClose(HANDLE job, bool kill) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = kill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) != FALSE;
}

// The program's standard error as a handle the command inherits; none when the program
// has none.
HANDLE InheritableStandardError() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE inheritable = nullptr;
  if (error == nullptr || error == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), &inheritable, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return inheritable;
}

// Starts cmd.exe for command, suspended, with the given standard handles, which are the
// only handles it inherits (PROC_THREAD_ATTRIBUTE_HANDLE_LIST): an inheritable handle
// that another part of the program holds never reaches the command. 0, or the system's
// error number of why it could not be started.
DWORD SpawnShell(const std::string& command, HANDLE input, HANDLE output, HANDLE error,
                 PROCESS_INFORMATION& started) {
  std::string interpreter = CommandInterpreter();
  // /s takes the command as it is between the outer quotes, whatever quotes it holds
  // itself; /d leaves out the AutoRun commands of the registry, which could print.
  std::string line = "\"" + interpreter + "\" /d /s /c \"" + command + "\"";
  // The program may have no standard error to give: a null handle is left out.
  std::vector<HANDLE> inherited;
  for (HANDLE handle : {input, output, error}) {
    if (handle != nullptr) inherited.push_back(handle);
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return GetLastError();
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 inherited.data(), inherited.size() * sizeof(HANDLE), nullptr,
                                 nullptr)) {
    DWORD failure = GetLastError();
    DeleteProcThreadAttributeList(list);
    return failure;
  }
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = error;
  startup.lpAttributeList = list;
  // A program without a console would have one made and shown for the command.
  DWORD flags = CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                (GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0);
  DWORD failure = 0;
  if (!CreateProcessA(interpreter.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                      nullptr, &startup.StartupInfo, &started)) {
    failure = GetLastError();
  }
  DeleteProcThreadAttributeList(list);
  return failure;
}

// The shell in a job object that holds it and every process it starts.
class ShellJob final : public ShellProcess {
 public:
  // Starts command; 0, or the system's error number of why it could not be started.
  DWORD Start(const std::string& command) {
    job.Reset(CreateJobObjectA(nullptr, nullptr));
    // Should the program end first, the command ends with it.
    if (job.Get() == nullptr || !SetKillOnClose(job.Get(), true)) return GetLastError();
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, pipeSize)) return GetLastError();
    reader.Reset(readEnd);
    Handle writer(writeEnd);
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) return GetLastError();
    Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr));
    if (input.Get() == nullptr) return GetLastError();
    Handle error(InheritableStandardError());
    PROCESS_INFORMATION started{};
    DWORD failure = SpawnShell(command, input.Get(), writer.Get(), error.Get(), started);
    if (failure != 0) return failure;
    process.Reset(started.hProcess);
    Handle thread(started.hThread);
    // In the job before it runs, so nothing it starts escapes it.
    if (!AssignProcessToJobObject(job.Get(), process.Get())) {
      failure = GetLastError();
      TerminateProcess(process.Get(), 1);
      return failure;
    }
    ResumeThread(thread.Get());
    return 0;
  }

  // Processes that a command which ended by itself left behind live on, as on Linux.
  ~ShellJob() override {
    if (!killed && job.Get() != nullptr) SetKillOnClose(job.Get(), false);
  }

  bool Ended(ShellCommandResult& result) override {
    DWORD code = 0;
    if (WaitForSingleObject(process.Get(), 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.Get(), &code)) {
      return false;
    }
    result.outcome = ShellCommandResult::Exited;
    result.exitStatus = static_cast<int>(code);
    return true;
  }

  std::ptrdiff_t ReadOutput(char* buffer, std::size_t size) override {
    DWORD available = 0;
    if (!PeekNamedPipe(reader.Get(), nullptr, 0, nullptr, &available, nullptr)) return -1;
    if (available == 0) return 0;
    DWORD n = 0;
    DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, available));
    if (!ReadFile(reader.Get(), buffer, wanted, &n, nullptr)) return -1;
    return n;
  }

  // An anonymous pipe has nothing to wait on: the wait is for the end, or the time.
  void Wait(int milliseconds, bool) override {
    WaitForSingleObject(process.Get(), static_cast<DWORD>(milliseconds));
  }

  void Kill() override {
    TerminateJobObject(job.Get(), 1);
    killed = true;
    WaitForSingleObject(process.Get(), killWait);
  }

 private:
  Handle job, reader, process;
  bool killed = false;
};

}  // namespace

std::unique_ptr<ShellProcess> StartShellProcess(const std::string& command, int& error) {
  auto process = std::make_unique<ShellJob>();
  error = static_cast<int>(process->Start(command));
  if (error != 0) return nullptr;
  return process;
}

std::string ShellCommandErrorText(int error) {
  return SystemMessageText(static_cast<std::uint32_t>(error));
}
