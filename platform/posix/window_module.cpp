#include "platform/window_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

constexpr const char* moduleName = "e-mailer-gtk.so";
constexpr const char* moduleFolders[] = {"/", "/../lib/e-mailer/"};

bool HasDisplay() {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::string ExecutableFolder() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

bool Load(WindowModule* module) {
  std::string folder = ExecutableFolder();
  if (folder.empty()) return false;
  for (const char* relative : moduleFolders) {
    void* handle = dlopen((folder + relative + moduleName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) continue;
    module->showMessageBox =
        reinterpret_cast<ShowMessageBoxFunction>(dlsym(handle, showMessageBoxSymbol));
    module->runResultDialog =
        reinterpret_cast<RunResultDialogFunction>(dlsym(handle, runResultDialogSymbol));
    // A module without its functions stays loaded all the same: unloading what it
    // brought with it (GTK, GLib) is not safe.
    if (module->showMessageBox != nullptr && module->runResultDialog != nullptr) return true;
  }
  return false;
}

}  // namespace

const WindowModule* LoadWindowModule() {
  static WindowModule module{};
  static const bool loaded = HasDisplay() && Load(&module);
  return loaded ? &module : nullptr;
}
