// The restore program's dialog road, loaded as a plugin on a dialog run only.
#include <TeskDialogPlugin.h>
#include <TeskDialogRun.h>

#include "TeskRestoreDlg.h"

extern "C" __attribute__((visibility("default"))) void TeskRunDialogs(CTeskCmdLineInfo& info) {
  if (!StartDialogRun()) return;
  RegisterTeskRestoreResources();
  CTeskRestoreDlg dlg(info.m_strProfile, info.m_strSource, info.m_strTarget, nullptr);
  RunMainDialog(dlg);
}
