#include "TeskDialogRun.h"

#include <mapi/logondialog.h>

#include <cstdio>
#include <string>

bool StartDialogRun() {
  std::string why;
  if (!AfxInitUi(&why)) {
    std::fprintf(stderr, "%s: %s\n", AfxGetAppName(), why.c_str());
    AfxPostQuitMessage(2);
    return false;
  }
  InstallMapiLogonDialog();
  return true;
}

void RunMainDialog(CDialog& dlg) {
  try {
    AfxRunModalMainDialog(dlg);
  } catch (CException* e) {
    e->ReportError(MB_OK, 0);
    e->Delete();
  } catch (...) {
    AfxMessageBox("Unhandled exception during copying operation", MB_ICONSTOP | MB_TOPMOST);
  }
}
