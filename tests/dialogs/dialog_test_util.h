// Helpers of the dialog tests: a profile with real store files, the UI,
// finding widgets of the program's dialogs.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>
#include <QWidget>

#include <FolderPickerDialog.h>
#include <ReportFile.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fixture.h>

#include "ui_test_util.h"

namespace dialog_test {

// The top-level window whose title is `title` (or the active modal one).
inline QWidget* FindWindow(const QString& title) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->windowTitle() == title) return w;
  return nullptr;
}

inline QWidget* Control(HWND dlg, int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg, id)); }

// The text a control shows.
inline QString Text(HWND dlg, int id) {
  QWidget* w = Control(dlg, id);
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  return "<no text control>";
}

// The path of this program, as the dialogs put it into their command line.
inline QString ProgramPath() {
  char path[1024] = {};
  GetModuleFileNameA(nullptr, path, 1023);
  return QString::fromUtf8(path);
}

inline void Click(HWND dlg, int id) {
  auto* button = qobject_cast<QAbstractButton*>(Control(dlg, id));
  ASSERT_NE(button, nullptr) << id;
  QTest::mouseClick(button, Qt::LeftButton);
}

// Replaces an edit's text by typing (an empty text deletes it).
inline void Type(HWND dlg, int id, const char* text) {
  auto* edit = qobject_cast<QLineEdit*>(Control(dlg, id));
  ASSERT_NE(edit, nullptr);
  edit->selectAll();
  if (*text) {
    QTest::keyClicks(edit, text);
  } else {
    QTest::keyClick(edit, Qt::Key_Delete);
  }
}

// Runs `action` on the folder picker that the button of dlg opens.
inline void OnPicker(HWND dlg, int button, std::function<void(HWND)> action) {
  ui_test::Later([dlg, action] {
    QWidget* picker = nullptr;
    ASSERT_TRUE(ui_test::WaitFor([&] {
      picker = QApplication::activeModalWidget();
      return picker && AfxHandleFromWidget(picker) != dlg;
    }));
    action(AfxHandleFromWidget(picker));
  });
  Click(dlg, button);
}

// Picks "store" or "store\\folder" in the picker the button opens.
inline void Pick(HWND dlg, int button, const std::string& store, const char* folder) {
  OnPicker(dlg, button, [&](HWND picker) {
    auto* tree = static_cast<CTreeCtrl*>(CWnd::FromHandle(::GetDlgItem(picker, IDC_FOLDER_TREE)));
    HTREEITEM item = tree->GetRootItem();
    while (item && tree->GetItemText(item) != store.c_str()) item = tree->GetNextSiblingItem(item);
    if (folder) {
      tree->Expand(item, TVE_EXPAND);
      item = tree->GetChildItem(item);
      while (item && tree->GetItemText(item) != folder) item = tree->GetNextSiblingItem(item);
    }
    ASSERT_NE(item, nullptr);
    tree->SelectItem(item);
    Click(picker, IDOK);
  });
}

// Creates a folder with a container class below parent.
inline CComPtr<IMAPIFolder> CreateClassFolder(IMAPIFolder* parent, const std::string& name, const char* cls) {
  CComPtr<IMAPIFolder> folder = testing_support::CreateFolder(parent, name);
  if (cls) {
    SPropValue v{};
    v.ulPropTag = PR_CONTAINER_CLASS_A;
    v.Value.lpszA = const_cast<char*>(cls);
    EXPECT_EQ(folder->SetProps(1, &v, nullptr), S_OK);
  }
  return folder;
}

}  // namespace dialog_test

namespace dialog_test {

// What the command lines start with under the fixture's profile folder (not
// the one a start from cron finds): that folder named for the shell.
inline QString ProfileFolderPrefix(const testing_support::ProfileFixture& profile) {
  return QString::fromStdString("MAPI_CONFIG_DIR=" + (profile.dir / "config") + " ");
}

// The program's log, opened for the test where nothing opened it yet, and
// removed again; Lines() are those written since the start of the scope.
class ScopedLog {
 public:
  ScopedLog() {
    if (theReportFile.GetPath().IsEmpty()) {
      theReportFile.SetEcho(false);
      opened_ = theReportFile.Open(false);
    }
    path_ = theReportFile.GetPath().GetString();
    std::error_code ec;
    start_ = std::filesystem::file_size(path_, ec);
  }
  ~ScopedLog() {
    if (!opened_) return;
    theReportFile.close();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;
  const std::string& path() const { return path_; }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  bool opened_ = false;
  std::string path_;
  std::uintmax_t start_ = 0;
};

}  // namespace dialog_test
