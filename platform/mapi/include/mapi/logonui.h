// The profile chooser of MAPILogonEx. With MAPI_LOGON_UI, a logon that
// names no profile (or names one that does not exist, or asks for the
// default where there is none) lets the installed handler choose among the
// profiles. The subsystem itself draws nothing: a program with a UI
// installs a handler (tesk_mapi_ui: InstallMapiLogonDialog), a batch
// program installs none and such a logon fails with MAPI_E_LOGON_FAILED.
#pragma once

#include <mapidefs.h>

#include <string>
#include <vector>

// Called on the thread of MAPILogonEx with the caller's parent window
// (ulUIParam of MAPILogonEx), the names of all profiles (at least one,
// sorted) and the profile name that was asked for (empty when none was).
// Returns S_OK with the chosen name in *chosen, or MAPI_E_USER_CANCEL when
// the user declined; any other result makes the logon fail with
// MAPI_E_LOGON_FAILED.
using MapiLogonUiHandler = HRESULT (*)(ULONG_PTR ulUIParam, const std::vector<std::string>& profiles,
                                       const std::string& requested, std::string* chosen);

// Installs `handler` (nullptr: none) and returns the one it replaces.
MapiLogonUiHandler SetMapiLogonUiHandler(MapiLogonUiHandler handler);
