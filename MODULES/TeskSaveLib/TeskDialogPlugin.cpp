#include "TeskDialogPlugin.h"

#include <afxwin.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// Where an installed program finds its plugins, from its own folder.
#ifndef TESK_PLUGIN_RELDIR
#define TESK_PLUGIN_RELDIR "../lib/tesk"
#endif

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

// The same rule the window layer applies.
bool DialogDisplayAvailable(std::string* why) {
  const std::string platform = Env("QT_QPA_PLATFORM");
  const std::string name = platform.substr(0, platform.find(':'));
  if (name == "offscreen" || name == "minimal" || name == "vnc") return true;
  if (!Env("DISPLAY").empty() || !Env("WAYLAND_DISPLAY").empty()) return true;
  if (why) {
    *why = "no display available: neither DISPLAY nor WAYLAND_DISPLAY is set";
    if (!platform.empty()) *why += " and QT_QPA_PLATFORM=" + platform + " needs one";
  }
  return false;
}

namespace {

std::string ProgramFolder() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  std::string p(path, n);
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

void Fail(const std::string& why) {
  const char* app = AfxGetAppName();
  std::fprintf(stderr, "%s: %s\n", app ? app : "tesk", why.c_str());
  std::fflush(stderr);
  AfxPostQuitMessage(2);
}

}  // namespace

void RunDialogPlugin(const char* plugin, const char* builtDir, CTeskCmdLineInfo& info) {
  std::string why;
  if (!DialogDisplayAvailable(&why)) return Fail(why);
  std::string tried;
  void* handle = nullptr;
  // Next to the program, where an installed program keeps it (lib/tesk
  // beside bin/), where it was built.
  const std::string programFolder = ProgramFolder();
  const std::string installed =
      programFolder.empty()
          ? std::string()
          : std::filesystem::path(programFolder + "/" TESK_PLUGIN_RELDIR).lexically_normal().string();
  for (const std::string& folder : {programFolder, installed, std::string(builtDir ? builtDir : "")}) {
    if (folder.empty()) continue;
    const std::string path = folder + "/" + plugin;
    // Never unloaded: windows, icons and Qt live until the process ends.
    handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle) break;
    if (const char* e = ::dlerror()) tried += std::string(tried.empty() ? "" : "; ") + e;
  }
  if (!handle) return Fail("the dialogs cannot be loaded: " + tried);
  auto entry = reinterpret_cast<TeskDialogEntry>(::dlsym(handle, kTeskDialogEntry));
  if (!entry) return Fail(std::string("the dialogs cannot be loaded: ") + plugin + " has no " + kTeskDialogEntry);
  entry(info);
}
