// The profile chooser of MAPILogonEx: caption, label, combo box, OK, Cancel.
#include <mapi/logondialog.h>
#include <mapi/logonui.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <string_view>

#include <tesk_ui_qt.h>
#include <windows.h>

namespace {

struct Texts {
  const char* caption;
  const char* label;
  const char* ok;
  const char* cancel;
};

const Texts& CurrentTexts() {
  static const Texts en{"Choose Profile", "Profile Name:", "OK", "Cancel"};
  static const Texts de{"Profil auswählen", "Profilname:", "OK", "Abbrechen"};
  return std::string_view(CurrentUiLanguage()) == "de" ? de : en;
}

bool SameNameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return fold(x) == fold(y); });
}

HRESULT ShowChooser(ULONG_PTR ulUIParam, const std::vector<std::string>& profiles, const std::string& requested,
                    std::string* chosen) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr || QThread::currentThread() != app->thread() || profiles.empty() || chosen == nullptr)
    return MAPI_E_LOGON_FAILED;

  std::vector<std::string> names = profiles;
  std::sort(names.begin(), names.end());
  // The name asked for (or one that differs from it in case only), else the first.
  const auto match = std::find_if(names.begin(), names.end(),
                                  [&](const std::string& n) { return SameNameIgnoringAsciiCase(n, requested); });
  const int selected = match == names.end() ? 0 : static_cast<int>(match - names.begin());

  QWidget* parent = nullptr;
  if (QWidget* w = AfxWidgetFromHandle(reinterpret_cast<HWND>(ulUIParam))) parent = w->window();
  if (parent == nullptr) parent = QApplication::activeModalWidget();

  const Texts& t = CurrentTexts();
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("MapiLogonDialog"));
  dialog.setWindowTitle(QString::fromUtf8(t.caption));
  dialog.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  dialog.setMinimumWidth(320);

  auto* label = new QLabel(QString::fromUtf8(t.label), &dialog);
  auto* combo = new QComboBox(&dialog);
  for (const std::string& n : names) combo->addItem(QString::fromStdString(n));
  combo->setCurrentIndex(selected);
  label->setBuddy(combo);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(t.ok));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8(t.cancel));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(label);
  layout->addWidget(combo);
  layout->addWidget(buttons);
  combo->setFocus();

  if (dialog.exec() != QDialog::Accepted || combo->currentIndex() < 0) return MAPI_E_USER_CANCEL;
  *chosen = names[static_cast<std::size_t>(combo->currentIndex())];
  return S_OK;
}

}  // namespace

void InstallMapiLogonDialog() { SetMapiLogonUiHandler(&ShowChooser); }
