// MAPILogonEx with MAPI_LOGON_UI: when the profile chooser appears, what it
// shows, and what OK and Cancel make of the logon.
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <mapi/admin.h>
#include <mapi/logondialog.h>
#include <mapi/logonui.h>

#include <dlgtemplate.h>

#include "fixture.h"
#include "layout_check.h"
#include "ui_test_util.h"

namespace {

namespace admin = tesk::mapi::admin;
using DialogAction = std::function<void(QDialog*)>;

// Counts the chooser's appearances and runs the test's action on it from
// its event loop; a chooser that the action leaves open is cancelled.
class ChooserWatch : public QObject {
 public:
  explicit ChooserWatch(DialogAction action = {}) : action_(std::move(action)) {
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~ChooserWatch() override { QCoreApplication::instance()->removeEventFilter(this); }
  ChooserWatch(const ChooserWatch&) = delete;
  ChooserWatch& operator=(const ChooserWatch&) = delete;
  int shown() const { return shown_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (event->type() == QEvent::Show && dialog && dialog->objectName() == QStringLiteral("MapiLogonDialog")) {
      ++shown_;
      QTimer::singleShot(0, dialog, [this, dialog] {
        if (action_) action_(dialog);
        if (dialog->isVisible()) dialog->reject();
      });
    }
    return false;
  }

 private:
  DialogAction action_;
  int shown_ = 0;
};

std::string Text(const QString& s) { return s.toStdString(); }

QPushButton* Button(QDialog* dialog, QDialogButtonBox::StandardButton which) {
  auto* box = dialog->findChild<QDialogButtonBox*>();
  return box ? box->button(which) : nullptr;
}

// Checks the choice offered, picks `pick` by keyboard and presses OK.
DialogAction Pick(std::vector<std::string> offered, std::string preselected, std::string pick) {
  return [=](QDialog* dialog) {
    auto* combo = dialog->findChild<QComboBox*>();
    ASSERT_NE(combo, nullptr);
    std::vector<std::string> items;
    for (int k = 0; k < combo->count(); ++k) items.push_back(Text(combo->itemText(k)));
    EXPECT_EQ(items, offered);
    EXPECT_EQ(Text(combo->currentText()), preselected);
    for (int k = 0; k < combo->count() && Text(combo->currentText()) != pick; ++k) QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(Text(combo->currentText()), pick);
    QTest::mouseClick(Button(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
  };
}

void PressCancel(QDialog* dialog) { QTest::mouseClick(Button(dialog, QDialogButtonBox::Cancel), Qt::LeftButton); }

// PR_DISPLAY_NAME of the session's MAPI_SUBSYSTEM status row.
std::string SessionProfile(IMAPISession* session) {
  CComPtr<IMAPITable> table;
  EXPECT_EQ(session->GetStatusTable(0, &table), S_OK);
  ULONG tags[] = {2, PR_RESOURCE_TYPE, PR_DISPLAY_NAME_A};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(tags), nullptr, nullptr, 0, &rows), S_OK);
  std::string name = "(no subsystem row)";
  for (ULONG k = 0; rows && k < rows->cRows; ++k) {
    if (rows->aRow[k].lpProps[0].Value.l == MAPI_SUBSYSTEM) name = rows->aRow[k].lpProps[1].Value.lpszA;
  }
  FreeProws(rows);
  return name;
}

class LogonUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    previous_ = SetMapiLogonUiHandler(nullptr);
    InstallMapiLogonDialog();
  }
  void TearDown() override { SetMapiLogonUiHandler(previous_); }

  // Replaces the fixture's default profile "Test" with "Alpha" and "Beta"
  // (the latter with the mailbox store), neither of them the default.
  void TwoProfilesWithoutDefault() {
    admin::CreateProfile("Beta", false);
    admin::AddStore("Beta", fx_.mailboxFile, true);
    admin::CreateProfile("Alpha", false);
    admin::DeleteProfile("Test");
  }

  HRESULT Logon(const char* profile, ULONG flags, CComPtr<IMAPISession>& session) {
    std::string name = profile ? profile : "";
    return MAPILogonEx(0, profile ? name.data() : nullptr, nullptr, flags, &session);
  }

  ui_test::ScopedEnv lcAll_{"LC_ALL", std::nullopt};
  ui_test::ScopedEnv lcMessages_{"LC_MESSAGES", std::nullopt};
  ui_test::ScopedEnv lang_{"LANG", std::string("C")};
  testing_support::ProfileFixture fx_;
  MapiLogonUiHandler previous_ = nullptr;
};

constexpr ULONG kUiFlags = MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_USE_DEFAULT;

TEST_F(LogonUiTest, ChooserAppearsWhenNoProfileIsNamedAndNoneIsDefault) {
  TwoProfilesWithoutDefault();
  {
    ChooserWatch watch([](QDialog* dialog) {
      EXPECT_EQ(Text(dialog->windowTitle()), "Choose Profile");
      auto* label = dialog->findChild<QLabel*>();
      ASSERT_NE(label, nullptr);
      EXPECT_EQ(Text(label->text()), "Profile Name:");
      EXPECT_EQ(Text(Button(dialog, QDialogButtonBox::Ok)->text()), "OK");
      EXPECT_EQ(Text(Button(dialog, QDialogButtonBox::Cancel)->text()), "Cancel");
      Pick({"Alpha", "Beta"}, "Alpha", "Beta")(dialog);
    });
    CComPtr<IMAPISession> session;
    EXPECT_EQ(Logon(nullptr, kUiFlags, session), S_OK);
    EXPECT_EQ(watch.shown(), 1);
    ASSERT_TRUE(session);
    EXPECT_EQ(SessionProfile(session), "Beta");
    EXPECT_TRUE(testing_support::OpenStore(session, "Personal Folders"));
  }
  // Without MAPI_USE_DEFAULT as well; Cancel ends the logon without a session.
  ChooserWatch watch(PressCancel);
  CComPtr<IMAPISession> session;
  EXPECT_EQ(Logon(nullptr, MAPI_LOGON_UI | MAPI_EXTENDED, session), MAPI_E_USER_CANCEL);
  EXPECT_EQ(watch.shown(), 1);
  EXPECT_FALSE(session);
}

TEST_F(LogonUiTest, UnknownProfileNameShowsChooser) {
  TwoProfilesWithoutDefault();
  admin::SetDefaultProfile("Alpha");
  {
    ChooserWatch watch(Pick({"Alpha", "Beta"}, "Alpha", "Alpha"));
    CComPtr<IMAPISession> session;
    EXPECT_EQ(Logon("Nobody", kUiFlags, session), S_OK);
    EXPECT_EQ(watch.shown(), 1);
    ASSERT_TRUE(session);
    EXPECT_EQ(SessionProfile(session), "Alpha");
  }
  // A name that differs from a profile's in case only preselects that one.
  ChooserWatch watch(Pick({"Alpha", "Beta"}, "Beta", "Beta"));
  CComPtr<IMAPISession> session;
  EXPECT_EQ(Logon("bETA", kUiFlags, session), S_OK);
  EXPECT_EQ(watch.shown(), 1);
  ASSERT_TRUE(session);
  EXPECT_EQ(SessionProfile(session), "Beta");
}

TEST_F(LogonUiTest, ExistingProfileOrDefaultNeverShowsChooser) {
  ChooserWatch watch;
  admin::CreateProfile("Other", false);
  for (const char* name : {static_cast<const char*>(nullptr), "", "Test", "Other"}) {
    CComPtr<IMAPISession> session;
    EXPECT_EQ(Logon(name, kUiFlags, session), S_OK) << (name ? name : "(null)");
    ASSERT_TRUE(session);
    EXPECT_EQ(SessionProfile(session), name && *name ? name : "Test");
  }
  EXPECT_EQ(watch.shown(), 0);
}

TEST_F(LogonUiTest, LogonFailsWithoutUiFlagHandlerOrProfiles) {
  TwoProfilesWithoutDefault();
  ChooserWatch watch;
  CComPtr<IMAPISession> session;
  EXPECT_EQ(Logon(nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(Logon("Nobody", MAPI_EXTENDED, session), MAPI_E_LOGON_FAILED);

  const MapiLogonUiHandler installed = SetMapiLogonUiHandler(nullptr);
  EXPECT_NE(installed, nullptr);
  EXPECT_EQ(Logon(nullptr, kUiFlags, session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(Logon("Nobody", kUiFlags, session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(SetMapiLogonUiHandler(installed), nullptr);

  admin::DeleteProfile("Alpha");
  admin::DeleteProfile("Beta");
  EXPECT_EQ(Logon(nullptr, kUiFlags, session), MAPI_E_LOGON_FAILED);
  EXPECT_FALSE(session);
  EXPECT_EQ(watch.shown(), 0);
}

TEST_F(LogonUiTest, GermanTexts) {
  ui_test::ScopedEnv german("LANG", std::string("de_DE.UTF-8"));
  TwoProfilesWithoutDefault();
  ChooserWatch watch([](QDialog* dialog) {
    EXPECT_EQ(Text(dialog->windowTitle()), "Profil auswählen");
    auto* label = dialog->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(Text(label->text()), "Profilname:");
    EXPECT_EQ(Text(Button(dialog, QDialogButtonBox::Ok)->text()), "OK");
    EXPECT_EQ(Text(Button(dialog, QDialogButtonBox::Cancel)->text()), "Abbrechen");
    PressCancel(dialog);
  });
  CComPtr<IMAPISession> session;
  EXPECT_EQ(Logon(nullptr, kUiFlags, session), MAPI_E_USER_CANCEL);
  EXPECT_EQ(watch.shown(), 1);
  EXPECT_FALSE(session);
}

// The chooser as laid out in both languages: in the dialogs' font (that of
// a template dialog), every text within its control, every control whole
// inside the window, also when the window is made as small as it goes.
TEST_F(LogonUiTest, ChooserTextsFitInTheDialogFont) {
  constexpr UINT IDD_FONT = 190;
  RegisterDialogTemplate(nullptr, {IDD_FONT, "Font", DS_MODALFRAME | WS_POPUP | WS_CAPTION, "MS Sans Serif", 8, 0, 0,
                                   100, 40, {{IDC_STATIC, DlgItem::LText, "Label", 7, 7, 80, 8}}});
  CDialog reference(IDD_FONT);
  ASSERT_TRUE(reference.Create(IDD_FONT));
  const QFontInfo dialogFont(AfxWidgetFromHandle(reference.m_hWnd)->findChild<QLabel*>()->font());
  reference.DestroyWindow();

  TwoProfilesWithoutDefault();
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    SCOPED_TRACE(locale);
    ui_test::ScopedEnv language("LANG", std::string(locale));
    ChooserWatch watch([&](QDialog* dialog) {
      for (QWidget* w : dialog->findChildren<QWidget*>()) {
        const QFontInfo font(w->font());
        EXPECT_EQ(Text(font.family()), Text(dialogFont.family())) << w->metaObject()->className();
        EXPECT_EQ(font.pixelSize(), dialogFont.pixelSize()) << w->metaObject()->className();
      }
      for (const QSize size : {dialog->size(), QSize(1, 1)}) {
        dialog->resize(size);
        QCoreApplication::processEvents();
        std::vector<std::string> problems = layout_check::Problems(dialog);
        for (auto* box : dialog->findChildren<QDialogButtonBox*>()) {
          for (const std::string& p : layout_check::Problems(box)) problems.push_back(p);
        }
        std::string all;
        for (const std::string& p : problems) all += p + "\n";
        EXPECT_EQ(all, "");
        for (QWidget* w : dialog->findChildren<QWidget*>()) {
          if (!w->isVisibleTo(dialog)) continue;
          const QRect inDialog(w->mapTo(dialog, QPoint(0, 0)), w->size());
          EXPECT_TRUE(dialog->rect().contains(inDialog)) << w->metaObject()->className() << " cut off";
          EXPECT_GE(w->width(), w->minimumSizeHint().width()) << w->metaObject()->className();
          EXPECT_GE(w->height(), w->minimumSizeHint().height()) << w->metaObject()->className();
        }
      }
      PressCancel(dialog);
    });
    CComPtr<IMAPISession> session;
    EXPECT_EQ(Logon(nullptr, kUiFlags, session), MAPI_E_USER_CANCEL);
    EXPECT_EQ(watch.shown(), 1);
  }
}

}  // namespace
