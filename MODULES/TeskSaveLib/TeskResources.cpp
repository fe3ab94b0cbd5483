#include "TeskResources.h"

#include <dlgtemplate.h>

#include "FolderPickerDialog.h"
#include "HyperLink.h"
#include "TeskIcons.h"
#include "TeskMainDialog.h"

HICON CTeskResourceImageSource::Load(UINT id) {
  return static_cast<HICON>(LoadImageA(AfxGetResourceHandle(), MAKEINTRESOURCE(id), IMAGE_ICON, 0, 0,
                                       LR_DEFAULTCOLOR | LR_DEFAULTSIZE));
}

HICON CTeskResourceImageSource::GetStoreIcon() { return Load(IDI_STORE); }
HICON CTeskResourceImageSource::GetDefaultStoreIcon() { return Load(IDI_DEFAULT_STORE); }
HICON CTeskResourceImageSource::GetContactsIcon() { return Load(IDI_CONTACTS); }
HICON CTeskResourceImageSource::GetCalendarIcon() { return Load(IDI_CALENDAR); }
HICON CTeskResourceImageSource::GetJournalIcon() { return Load(IDI_JOURNAL); }
HICON CTeskResourceImageSource::GetTasksIcon() { return Load(IDI_TASKS); }
HICON CTeskResourceImageSource::GetMailFolderIcon() { return Load(IDI_MAIL_FOLDER); }
HICON CTeskResourceImageSource::GetNotesIcon() { return Load(IDI_NOTES); }
HICON CTeskResourceImageSource::GetInboxIcon() { return Load(IDI_INBOX); }
HICON CTeskResourceImageSource::GetOutboxIcon() { return Load(IDI_OUTBOX); }
HICON CTeskResourceImageSource::GetSentItemsIcon() { return Load(IDI_SENT_ITEMS); }
HICON CTeskResourceImageSource::GetDeletedItemsIcon() { return Load(IDI_DELETED_ITEMS); }

namespace {
DialogResource PickerTemplate(UINT id, const char* cancel) {
  return DialogResource{id,
                        "Select folder",
                        DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME,
                        "MS Sans Serif",
                        8,
                        0,
                        0,
                        232,
                        193,
                        {
                            {IDOK, DlgItem::DefPushButton, "OK", 175, 7, 50, 14},
                            {IDCANCEL, DlgItem::PushButton, cancel, 175, 24, 50, 14},
                            {IDC_FOLDER_TREE, DlgItem::TreeView, "", 7, 7, 152, 179,
                             TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT},
                        }};
}
}  // namespace

void RegisterFolderPickerTemplates(UINT id, bool english) {
  RegisterDialogTemplate("de", PickerTemplate(id, "Abbrechen"));
  if (english) RegisterDialogTemplate("en", PickerTemplate(id, "Cancel"));
}

void RegisterSharedStrings(bool english) {
  RegisterStringTable("de", {{IDS_BAD_MAILTO,
                              "Die Adresse \xE2\x80\x9E%s\xE2\x80\x9C f\xC3\xBCr den Fehlerbericht nimmt der Mailversand "
                              "nicht an. Gebraucht wird die Adresse allein, etwa name@example.org: mit einem @, ohne Namen, "
                              "Leerzeichen und spitze Klammern.\n\n"
                              "Bitte berichtigen oder l\xC3\xB6schen Sie die Adresse."},
                             {IDS_COUNT_MESSAGES, "%lu Nachricht|%lu Nachrichten"},
                             {IDS_COUNT_IN_FOLDERS, "in %lu Ordner|in %lu Ordnern"},
                             {IDS_COUNT_FOLDERS, "%lu Ordner|%lu Ordner"},
                             {IDS_LINK_NO_OPENER,
                              "Die Seite l\xC3\xA4sst sich nicht \xC3\xB6" "ffnen: Es ist kein Programm daf\xC3\xBCr "
                              "eingerichtet (etwa xdg-open).\n\nSie liegt hier:\n%s"},
                             {IDS_LINK_MISSING, "Die Seite gibt es nicht:\n%s"}});
  if (!english) return;
  RegisterStringTable("en", {{IDS_BAD_MAILTO,
                              "The mail transport does not take \"%s\" as the address for error reports. It needs the "
                              "address alone, such as name@example.org: with an @, without a name, blanks or angle "
                              "brackets.\n\nPlease correct the address or delete it."},
                             {IDS_COUNT_MESSAGES, "%lu message|%lu messages"},
                             {IDS_COUNT_IN_FOLDERS, "in %lu folder|in %lu folders"},
                             {IDS_COUNT_FOLDERS, "%lu folder|%lu folders"},
                             {IDS_LINK_NO_OPENER,
                              "The page cannot be opened: no program to open it is set up (such as xdg-open).\n\n"
                              "It is here:\n%s"},
                             {IDS_LINK_MISSING, "The page does not exist:\n%s"}});
}
