// The Windows side of the secret records: a REG_BINARY value named after the record
// under the program's settings key HKEY_CURRENT_USER\Software\Zelkor\Kestrum\SMTP,
// encrypted with DPAPI for the current user (CryptProtectData), so that only this user
// on this machine can read it; RegSetValueEx replaces a value whole. The lock is a
// named mutex of the user's session, which the system releases when its holder ends.
#include "platform/secret_store.h"

#include <windows.h>
#include <wincrypt.h>

#include "platform/system_messages.h"

namespace {

constexpr const char* settingsKey = "Software\\Zelkor\\Kestrum\\SMTP";
constexpr DWORD recordCap = 1024 * 1024;

std::string Reason(const std::string& name, DWORD error) {
  std::string text = SystemMessageText(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return SecretRecordPlace(name) + ": " + (text.empty() ? "error " + std::to_string(error) : text);
}

// The key, opened for reading or created for writing; null with the status.
HKEY OpenSettingsKey(bool write, LSTATUS* status) {
  HKEY key = nullptr;
  *status = write ? RegCreateKeyExA(HKEY_CURRENT_USER, settingsKey, 0, nullptr, 0, KEY_SET_VALUE,
                                    nullptr, &key, nullptr)
                  : RegOpenKeyExA(HKEY_CURRENT_USER, settingsKey, 0, KEY_QUERY_VALUE, &key);
  return *status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

std::string SecretRecordPlace(const std::string& name) {
  return "HKEY_CURRENT_USER\\" + std::string(settingsKey) + "\\" + name;
}

SecretRecordRead ReadSecretRecord(const std::string& name) {
  SecretRecordRead result;
  LSTATUS status;
  HKEY key = OpenSettingsKey(false, &status);
  std::string sealed;
  DWORD type = 0;
  DWORD size = 0;
  if (key != nullptr) {
    status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS && size <= recordCap) {
      sealed.resize(size);
      status = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(sealed.data()), &size);
      sealed.resize(size);
    }
    RegCloseKey(key);
  }
  if (status == ERROR_FILE_NOT_FOUND) {
    result.outcome = SecretRecordRead::Missing;
    return result;
  }
  if (status != ERROR_SUCCESS) {
    result.error = Reason(name, static_cast<DWORD>(status));
    return result;
  }
  if (type != REG_BINARY || size > recordCap) {
    result.error = SecretRecordPlace(name) + ": not a binary value of at most 1 MiB";
    return result;
  }
  DATA_BLOB in{static_cast<DWORD>(sealed.size()), reinterpret_cast<BYTE*>(sealed.data())};
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
    result.error = Reason(name, GetLastError());
    return result;
  }
  result.bytes.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  result.outcome = SecretRecordRead::Read;
  return result;
}

std::string WriteSecretRecord(const std::string& name, const std::string& bytes) {
  DATA_BLOB in{static_cast<DWORD>(bytes.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, L"e-mailer", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &out)) {
    return Reason(name, GetLastError());
  }
  LSTATUS status;
  HKEY key = OpenSettingsKey(true, &status);
  if (key != nullptr) {
    status = RegSetValueExA(key, name.c_str(), 0, REG_BINARY, out.pbData, out.cbData);
    RegCloseKey(key);
  }
  LocalFree(out.pbData);
  return status == ERROR_SUCCESS ? std::string() : Reason(name, static_cast<DWORD>(status));
}

CSecretRecordLock::CSecretRecordLock(const std::string& name, std::uint32_t timeout) {
  // Backslashes are the one character a mutex name may not hold past its namespace.
  std::string mutexName = "Local\\e-mailer-" + name;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
  if (mutex == nullptr) {
    error = Reason(name, GetLastError());
    return;
  }
  // An abandoned mutex (its holder ended without releasing it) is held all the same:
  // the record itself is always whole.
  DWORD waited = WaitForSingleObject(mutex, timeout);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    error = SecretRecordPlace(name) + ": still locked by another run after " +
            std::to_string(timeout / 1000) + " seconds";
    CloseHandle(mutex);
    return;
  }
  handle = reinterpret_cast<std::intptr_t>(mutex);
}

CSecretRecordLock::~CSecretRecordLock() {
  if (handle == -1) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}
