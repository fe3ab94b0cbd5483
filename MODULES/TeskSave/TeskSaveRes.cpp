// The save program's resources: its dialogs in German and English, its
// strings, its icons.
#include <dlgtemplate.h>
#include <FolderPickerDialog.h>
#include <TeskIcons.h>
#include <TeskResources.h>

#include "TeskSave2Dlg.h"

const UINT IDD_FOLDER_PICKER = 129;

namespace {

constexpr DWORD kMainStyle = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;

// The positions that differ between the languages.
struct Layout {
  const char* description;
  short descriptionHeight;
  short iconX, iconWidth;
  const char* cmdLabel;
  short cmdLabelY, cmdLabelWidth, cmdY;
  const char* source;
  const char* target;
  const char* run;
  const char* close;
  short buttonY, sourceWidth, targetX, targetWidth, runX;
  short separator1Y;
  const char* noTimeStamp;
  short checkY, checkWidth;
  const char* mailLabel;
  short mailLabelY, mailLabelWidth, mailX, mailY, mailWidth;
  short separator2Y, progressY;
  short copyrightX, copyrightWidth, linkX;
};

DialogResource MainTemplate(const Layout& l) {
  return DialogResource{
      IDD_TESKSAVE2_DIALOG,
      "TeskSave",
      kMainStyle,
      "MS Sans Serif",
      8,
      0,
      0,
      320,
      154,
      {
          {IDC_STATIC, DlgItem::LText, l.description, 7, 7, 278, l.descriptionHeight},
          {IDC_STATIC, DlgItem::Icon, MAKEINTRESOURCE(IDI_TESK_LOGO), l.iconX, 7, l.iconWidth, 20},
          {IDC_STATIC, DlgItem::LText, l.cmdLabel, 7, l.cmdLabelY, l.cmdLabelWidth, 8},
          {IDC_CMDLINE, DlgItem::EditText, "", 7, l.cmdY, 306, 14, ES_AUTOHSCROLL | ES_READONLY},
          {IDC_SELECT_SOURCE, DlgItem::PushButton, l.source, 7, l.buttonY, l.sourceWidth, 14},
          {IDC_SELECT_TARGET, DlgItem::PushButton, l.target, l.targetX, l.buttonY, l.targetWidth, 14},
          {IDC_RUN, DlgItem::DefPushButton, l.run, l.runX, l.buttonY, 50, 14},
          {IDCANCEL, DlgItem::PushButton, l.close, 263, l.buttonY, 50, 14},
          {IDC_STATIC, DlgItem::Separator, "", 7, l.separator1Y, 306, 1},
          {IDC_NO_TIMESTAMP, DlgItem::AutoCheckBox, l.noTimeStamp, 7, l.checkY, l.checkWidth, 10},
          {IDC_STATIC, DlgItem::LText, l.mailLabel, 7, l.mailLabelY, l.mailLabelWidth, 8},
          {IDC_MAILTO, DlgItem::EditText, "", l.mailX, l.mailY, l.mailWidth, 14, ES_AUTOHSCROLL},
          {IDC_STATIC, DlgItem::Separator, "", 7, l.separator2Y, 306, 1},
          {IDC_PROGRESS, DlgItem::Progress, "", 7, l.progressY, 306, 7, PBS_SMOOTH, 0, WS_VISIBLE},
          {IDC_COPYRIGHT, DlgItem::LText, kTeskCopyright, l.copyrightX, 143, l.copyrightWidth, 9},
          {IDC_LINK, DlgItem::LText, kTeskWebAddress, l.linkX, 143, static_cast<short>(313 - l.linkX), 9, WS_TABSTOP},
      }};
}

const Layout kGerman = {
    "TeskSave sichert komplette Ordnerstrukturen von PSTs, Postf\xC3\xA4" "chern und \xC3\x96" "ffentlichen Ordnern in "
    "ein frei w\xC3\xA4hlbares Ziel. TeskSave kann interaktiv als auch parametergesteuert (zeitgesteuert) gestartet "
    "werden.",
    28, 292, 20,
    "Befehlszeile:", 38, 40, 49,
    "Quelle ausw\xC3\xA4hlen...", "Ziel ausw\xC3\xA4hlen...", "Ausf\xC3\xBChren", "Beenden",
    68, 71, 85, 71, 206,
    89,
    "Keinen Zeitstempel an obersten Hierarchieordner des Archivs anf\xC3\xBCgen", 97, 306,
    "Fehlerbericht an folgende eMail-Adresse senden:", 113, 171, 181, 111, 132,
    131, 135,
    49, 147, 203};

const Layout kEnglish = {
    "TeskSave saves complete folderstructures from PSTs, Mailboxes and PublicFolders in a free selectable "
    "destination. TeskSave can be started interactive and also commandline-based (scheduled).",
    24, 290, 21,
    "Command line:", 35, 47, 44,
    "Select source", "Select destination", "Start now!", "Close",
    63, 66, 79, 66, 207,
    85,
    "Do not add time stamp to archived root folder", 92, 210,
    "Send error reports to (email):", 108, 89, 108, 106, 205,
    126, 134,
    53, 142, 198};

class CTeskSaveImageSource : public CTeskResourceImageSource {};

}  // namespace

std::unique_ptr<CMAPIFoldersTreeImagesSrc> CreateFolderTreeImageSource() {
  return std::make_unique<CTeskSaveImageSource>();
}

void RegisterTeskSaveResources() {
  RegisterDialogTemplate("de", MainTemplate(kGerman));
  RegisterDialogTemplate("en", MainTemplate(kEnglish));
  RegisterFolderPickerTemplates(IDD_FOLDER_PICKER, true);
  RegisterStringTable("de", {{IDS_SELECT_SOURCE, "Quelle ausw\xC3\xA4hlen..."},
                             {IDS_SELECT_TARGET, "Ziel ausw\xC3\xA4hlen..."},
                             {IDS_CMDLINE_TIP,
                              "Stellen Sie hier die Befehlszeile interaktiv zusammen und \xC3\xBC"
                              "bertragen Sie diese dann in .BAT,.CMD oder Scheduler"},
                             {IDS_RUN_LOG, "Protokoll: %s"},
                             {IDS_RUN_DONE,
                              "\xE2\x80\x9E%s\xE2\x80\x9C wurde nach \xE2\x80\x9E%s\\%s\xE2\x80\x9C "
                              "gesichert: %s %s."},
                             {IDS_RUN_DONE_ERRORS,
                              "Die Sicherung von \xE2\x80\x9E%s\xE2\x80\x9C nach \xE2\x80\x9E%s\\%s"
                              "\xE2\x80\x9C ist mit Fehlern beendet (%s %s). Die Fehler stehen im Protokoll."}});
  RegisterStringTable("en", {{IDS_SELECT_SOURCE, "Select source folder"},
                             {IDS_SELECT_TARGET, "Select target folder"},
                             {IDS_CMDLINE_TIP,
                              "Use this command line sample if you want to start TeskSave from bat, cmd or system "
                              "scheduler."},
                             {IDS_RUN_LOG, "Log: %s"},
                             {IDS_RUN_DONE, "Saved \"%s\" to \"%s\\%s\": %s %s."},
                             {IDS_RUN_DONE_ERRORS,
                              "The save of \"%s\" to \"%s\\%s\" ended with errors (%s %s). The errors are in the "
                              "log."}});
  RegisterSharedStrings(true);
  RegisterTeskIcons();
}
