#include <mapi/warnings.h>

#include <cstdio>
#include <mutex>

namespace tesk::mapi {

namespace {

std::mutex& Lock() {
  static std::mutex m;
  return m;
}

WarningSink& Sink() {
  static WarningSink s;
  return s;
}

}  // namespace

void SetWarningSink(WarningSink sink) {
  std::lock_guard<std::mutex> hold(Lock());
  Sink() = std::move(sink);
}

void Warn(const std::string& text) {
  // One warning at a time, each whole, whichever thread gives it.
  std::lock_guard<std::mutex> hold(Lock());
  if (Sink()) {
    try {
      Sink()(text);
      return;
    } catch (...) {
    }
  }
  std::fprintf(stderr, "WARNING: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace tesk::mapi
