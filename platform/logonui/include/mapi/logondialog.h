// The profile chooser that MAPILogonEx shows with MAPI_LOGON_UI (see
// <mapi/logonui.h>): a small modal dialog with the profiles in a combo box,
// OK and Cancel, in the language of CurrentUiLanguage(). No Qt header is
// needed to use it.
#pragma once

// Installs the chooser as the logon UI handler. It needs the running UI
// (AfxInitUi first, on the same thread as the logon); without it the
// logon fails with MAPI_E_LOGON_FAILED.
void InstallMapiLogonDialog();
