// Resource identifiers the framework itself uses.
#pragma once

// The application's title; CWinApp takes it as its name when it was given
// none.
#define AFX_IDS_APP_TITLE 0xE000
// "No error message is available." (built in; a registered table may
// translate it).
#define AFX_IDP_NO_ERROR_AVAILABLE 0xF020
