#include "TeskResources.h"

#include <dlgtemplate.h>

#include "FolderPickerDialog.h"
#include "TeskIcons.h"

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
