// Helpers of the window layer's tests: the running UI, environment changes
// undone at the end of a test, waiting for Qt, actions inside modal loops,
// embedded test icons.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../support/scoped_env.h"

#include <tesk_ui.h>
#include <tesk_ui_qt.h>

namespace ui_test {

// Starts the UI once (offscreen in ctest) and fails the test without it.
inline void StartUi() {
  std::string why;
  ASSERT_TRUE(AfxInitUi(&why)) << why;
}

using testing_support::ScopedEnv;

// Processes Qt events until pred() holds or `ms` pass; answers pred().
inline bool WaitFor(const std::function<bool()>& pred, int ms = 3000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Runs `action` from the event loop (e.g. inside a modal dialog's loop).
inline void Later(std::function<void()> action, int ms = 0) {
  QTimer::singleShot(ms, QCoreApplication::instance(), std::move(action));
}

// Replaces the message box handler for a test and counts the boxes. A box
// that asks yes or no gets yesNo, any other answer.
class ScopedMessageBoxes {
 public:
  explicit ScopedMessageBoxes(int answer, int yesNo = IDYES) {
    answer_ = answer;
    yesNo_ = yesNo;
    texts_.clear();
    types_.clear();
    previous_ = SetMessageBoxHandler([](HWND, const char* text, const char*, UINT type) {
      texts_.push_back(text ? text : "");
      types_.push_back(type);
      const UINT buttons = type & 0xF;
      return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? yesNo_ : answer_;
    });
  }
  ~ScopedMessageBoxes() { SetMessageBoxHandler(previous_); }
  ScopedMessageBoxes(const ScopedMessageBoxes&) = delete;
  ScopedMessageBoxes& operator=(const ScopedMessageBoxes&) = delete;
  int count() const { return static_cast<int>(texts_.size()); }
  std::string last() const { return texts_.empty() ? std::string() : texts_.back(); }
  const std::vector<std::string>& texts() const { return texts_; }
  const std::vector<UINT>& types() const { return types_; }
  void answerYesNo(int answer) { yesNo_ = answer; }

 private:
  MessageBoxHandler previous_;
  static inline int answer_ = IDOK;
  static inline int yesNo_ = IDYES;
  static inline std::vector<std::string> texts_;
  static inline std::vector<UINT> types_;
};

// A 16 x 16 opaque red PNG.
inline constexpr unsigned char kRedPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0xf3, 0xff, 0x61, 0x00,
    0x00, 0x00, 0x19, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x9f, 0x12, 0xcc,
    0x30, 0x6a, 0xc0, 0xa8, 0x01, 0xa3, 0x06, 0x0c, 0x17, 0x03, 0x00, 0x30, 0xc4, 0xfe, 0x10, 0x8a, 0xc6,
    0x4c, 0xe5, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// A 16 x 16 green XPM.
inline constexpr char kGreenXpm[] =
    "/* XPM */\n"
    "static char *green[] = {\n"
    "\"16 16 1 1\",\n"
    "\"g c #00FF00\",\n"
    "\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n"
    "\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n"
    "\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n"
    "\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\",\n\"gggggggggggggggg\"};\n";

constexpr UINT kIconRed = 201;
constexpr UINT kIconGreen = 202;

inline void RegisterTestIcons() {
  RegisterIconResource(kIconRed, kRedPng, sizeof kRedPng);
  RegisterIconResource(kIconGreen, kGreenXpm, sizeof kGreenXpm - 1);
}

}  // namespace ui_test
