// The layout of a program's dialog template as built, without the program's
// logic: the text problems of layout_check for the template in a language.
#pragma once

#include <set>
#include <string>
#include <utility>
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

// The pairs of visible controls of the window whose rectangles meet.
inline std::set<std::pair<int, int>> Overlaps(QWidget* window) {
  std::vector<QWidget*> controls;
  for (QWidget* w : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w->isVisibleTo(window)) controls.push_back(w);
  }
  std::set<std::pair<int, int>> pairs;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      if (layout_check::Overlap(controls[i], controls[j])) pairs.emplace(static_cast<int>(i), static_cast<int>(j));
    }
  }
  return pairs;
}

// Every visible control of the window lies inside it.
inline std::vector<std::string> Outside(QWidget* window) {
  std::vector<std::string> outside;
  for (QWidget* w : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w->isVisibleTo(window) && !window->rect().contains(w->geometry())) {
      outside.push_back(std::string(w->metaObject()->className()) + " " +
                        layout_check::Describe(w->geometry()).toStdString());
    }
  }
  return outside;
}

inline std::string Lines(const std::vector<std::string>& problems) {
  std::string all;
  for (const std::string& p : problems) all += p + "\n";
  return all;
}

}  // namespace dialog_test
