// The restore program's resources: its dialogs and strings (German), its
// icons.
#include <dlgtemplate.h>
#include <FolderPickerDialog.h>
#include <TeskIcons.h>
#include <TeskResources.h>

#include "TeskRestoreDlg.h"

const UINT IDD_FOLDER_PICKER = 105;

namespace {

const DialogResource kMainDialog = {
    IDD_TESKRESTORE_DIALOG,
    "TeskRestore",
    DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME,
    "MS Sans Serif",
    8,
    0,
    0,
    320,
    154,
    {
        {IDC_STATIC, DlgItem::LText,
         "TeskRestore restauriert aus einer frei w\xC3\xA4hlbaren Quelle (z.B. TeskSave-Archiv) komplette "
         "Ordnerstrukturen in PSTs, Postf\xC3\xA4" "cher und \xC3\x96" "ffentliche Ordner. Bestehende Eintrage werden "
         "hierbei vorab geloscht !",
         7, 7, 278, 25},
        {IDC_STATIC, DlgItem::Icon, MAKEINTRESOURCE(IDI_TESK_LOGO), 292, 7, 20, 20},
        {IDC_STATIC, DlgItem::LText,
         "TeskRestore kann interaktiv als auch parametergesteuert (zeitgesteuert) gestartet werden.", 7, 31, 306,
         10},
        {IDC_STATIC, DlgItem::LText, "Befehlszeile:", 7, 43, 40, 8},
        {IDC_CMDLINE, DlgItem::EditText, "", 7, 54, 306, 14, ES_AUTOHSCROLL | ES_READONLY},
        {IDC_SELECT_SOURCE, DlgItem::PushButton, "Quelle ausw\xC3\xA4hlen...", 7, 73, 71, 14},
        {IDC_SELECT_TARGET, DlgItem::PushButton, "Ziel ausw\xC3\xA4hlen...", 85, 73, 71, 14},
        {IDC_RUN, DlgItem::DefPushButton, "Ausf\xC3\xBChren", 206, 73, 50, 14},
        {IDCANCEL, DlgItem::PushButton, "Beenden", 263, 73, 50, 14},
        {IDC_STATIC, DlgItem::Separator, "", 7, 93, 306, 1},
        {IDC_STATIC, DlgItem::LText, "Fehlerbericht an folgende eMail-Adresse senden:", 7, 102, 154, 8},
        {IDC_MAILTO, DlgItem::EditText, "", 171, 100, 142, 14, ES_AUTOHSCROLL},
        {IDC_STATIC, DlgItem::Separator, "", 7, 118, 306, 1},
        {IDC_STATUS, DlgItem::CText, "", 7, 122, 306, 8, SS_NOPREFIX},
        {IDC_PROGRESS, DlgItem::Progress, "", 7, 133, 306, 7, PBS_SMOOTH, 0, WS_VISIBLE},
        {IDC_COPYRIGHT, DlgItem::LText, kTeskCopyright, 49, 143, 147, 9},
        {IDC_LINK, DlgItem::LText, kTeskWebAddress, 203, 143, 110, 9, WS_TABSTOP},
    }};

class CTeskRestoreImageSource : public CTeskResourceImageSource {};

}  // namespace

std::unique_ptr<CMAPIFoldersTreeImagesSrc> CreateFolderTreeImageSource() {
  return std::make_unique<CTeskRestoreImageSource>();
}

void RegisterTeskRestoreResources() {
  RegisterDialogTemplate("de", kMainDialog);
  RegisterFolderPickerTemplates(IDD_FOLDER_PICKER, false);
  RegisterStringTable("de", {{IDS_SELECT_SOURCE, "Quelle ausw\xC3\xA4hlen..."},
                             {IDS_SELECT_TARGET, "Ziel ausw\xC3\xA4hlen..."},
                             {IDS_CMDLINE_TIP,
                              "Stellen Sie hier die Befehlszeile interaktiv zusammen und \xC3\xBC"
                              "bertragen Sie diese dann in .BAT,.CMD oder Scheduler"},
                             {IDS_RUN_LOG, "Protokoll: %s"},
                             {IDS_RUN_DONE,
                              "\xE2\x80\x9E%s\xE2\x80\x9C wurde nach \xE2\x80\x9E%s\xE2\x80\x9C "
                              "wiederhergestellt: %s %s."},
                             {IDS_RUN_DONE_ERRORS,
                              "Die Wiederherstellung von \xE2\x80\x9E%s\xE2\x80\x9C nach \xE2\x80\x9E%s"
                              "\xE2\x80\x9C ist mit Fehlern beendet (wiederherzustellen: %s %s). Die Fehler "
                              "stehen im Protokoll."},
                             {IDS_RUN_CONFIRM,
                              "Der Zielordner \xE2\x80\x9E%s\xE2\x80\x9C wird geleert, bevor "
                              "\xE2\x80\x9E%s\xE2\x80\x9C hineinkopiert wird.\n\n"
                              "Gel\xC3\xB6scht werden %s und %s"},
                             {IDS_RUN_CONFIRM_PARTS,
                              ":\n\xE2\x80\xA2 %s und %s au\xC3\x9F" "erhalb der Standardordner\n"
                              "\xE2\x80\xA2 %s und %s %s"},
                             {IDS_COUNT_KEPT,
                              "im Standardordner, der selbst erhalten bleibt|in den %lu Standardordnern, die selbst "
                              "erhalten bleiben"},
                             {IDS_RUN_CONFIRM_END,
                              "\n\nHineinkopiert: %s mit %s.\n\nWiederherstellung jetzt starten?"}});
  RegisterSharedStrings(false);
  RegisterTeskIcons();
}
