// The layout of a program's dialog template as built, without the program's
// logic: the text problems of layout_check for the template in a language.
#pragma once

#include <string>
#include <vector>

#include "dialog_test_util.h"
#include "layout_check.h"

namespace dialog_test {

// Builds template `id` in `locale` (LANG, as the programs read it), shows it
// and answers what layout_check finds; fails the test when it cannot be built.
inline std::vector<std::string> TemplateProblems(UINT id, const char* locale) {
  ui_test::ScopedEnv all("LC_ALL", std::nullopt), messages("LC_MESSAGES", std::nullopt), language("LANG", locale);
  CDialog dlg(id);
  if (!dlg.Create(id)) {
    ADD_FAILURE() << "template " << id << " cannot be built in " << locale;
    return {};
  }
  QWidget* window = AfxWidgetFromHandle(dlg.m_hWnd);
  window->show();
  QCoreApplication::processEvents();
  std::vector<std::string> problems = layout_check::Problems(window);
  dlg.DestroyWindow();
  return problems;
}

inline std::string Lines(const std::vector<std::string>& problems) {
  std::string all;
  for (const std::string& p : problems) all += p + "\n";
  return all;
}

}  // namespace dialog_test
