// Renders the program's windows to PNG files for the documentation: the
// main dialog (in each language the program carries) and the folder picker
// with an expanded tree. Runs on Qt's offscreen platform; the profile
// comes from MAPI_CONFIG_DIR.
//   screenshots OUTPUT_DIR SOURCE TARGET
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <FolderPickerDialog.h>
#include <tesk_ui.h>
#include <tesk_ui_qt.h>

#if defined(TESK_SCREENSHOTS_RESTORE)
#include <TeskRestoreDlg.h>
using MainDialog = CTeskRestoreDlg;
static const char* const kProgram = "teskrestore";
static const char* const kLanguages[] = {"de"};
static void RegisterResources() { RegisterTeskRestoreResources(); }
#else
#include <TeskSave2Dlg.h>
using MainDialog = CTeskSave2Dlg;
static const char* const kProgram = "tesksave";
static const char* const kLanguages[] = {"de", "en"};
static void RegisterResources() { RegisterTeskSaveResources(); }
#endif

namespace {

std::string g_out;
bool g_failed = false;

void Later(std::function<void()> action) { QTimer::singleShot(50, QCoreApplication::instance(), std::move(action)); }

QWidget* Control(HWND dlg, int id) { return AfxWidgetFromHandle(::GetDlgItem(dlg, id)); }

void Save(QWidget* window, const std::string& name) {
  QCoreApplication::processEvents();
  const std::string path = g_out + "/" + name + ".png";
  if (!window->grab().save(QString::fromStdString(path))) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    g_failed = true;
    return;
  }
  std::printf("%s\n", path.c_str());
}

// Opens every store and the first levels below, selects the deepest folder
// of the source's store, renders the picker and cancels it.
void ShootPicker(HWND picker) {
  auto* tree = static_cast<CTreeCtrl*>(CWnd::FromHandle(::GetDlgItem(picker, IDC_FOLDER_TREE)));
  HTREEITEM select = nullptr;
  for (HTREEITEM store = tree->GetRootItem(); store; store = tree->GetNextSiblingItem(store)) {
    if (store != tree->GetRootItem()) continue;
    tree->Expand(store, TVE_EXPAND);
    for (HTREEITEM folder = tree->GetChildItem(store); folder; folder = tree->GetNextSiblingItem(folder)) {
      if (!tree->ItemHasChildren(folder)) continue;
      tree->Expand(folder, TVE_EXPAND);
      if (!select) select = tree->GetChildItem(folder);
    }
  }
  if (select) tree->SelectItem(select);
  Save(AfxWidgetFromHandle(picker), std::string(kProgram) + "-picker");
  qobject_cast<QAbstractButton*>(Control(picker, IDCANCEL))->click();
}

void Shoot(const char* language, const char* source, const char* target, bool withPicker) {
  ::setenv("LANG", language[0] == 'd' ? "de_DE.UTF-8" : "en_US.UTF-8", 1);
  MainDialog dlg("", source, target, nullptr);
  Later([&] {
    HWND h = dlg.m_hWnd;
    if (!h) return;
    if (auto* mail = qobject_cast<QLineEdit*>(Control(h, IDC_MAILTO))) mail->setText("backup-admin@example.org");
    Save(AfxWidgetFromHandle(h), std::string(kProgram) + "-" + language);
    if (withPicker) {
      Later([&] {
        QWidget* modal = QApplication::activeModalWidget();
        HWND picker = AfxHandleFromWidget(modal);
        if (picker && picker != dlg.m_hWnd) ShootPicker(picker);
      });
      qobject_cast<QAbstractButton*>(Control(h, IDC_SELECT_SOURCE))->click();
    }
    qobject_cast<QAbstractButton*>(Control(h, IDCANCEL))->click();
  });
  if (dlg.DoModal() != IDCANCEL) g_failed = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR SOURCE TARGET\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  g_out = argv[1];
  AfxSetCommandLine(argc, argv);
  std::string why;
  if (!AfxInitUi(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 2;
  }
  RegisterResources();
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
  bool first = true;
  for (const char* language : kLanguages) {
    Shoot(language, argv[2], argv[3], first);
    first = false;
  }
  MAPIUninitialize();
  return g_failed ? 1 : 0;
}
