// The save program's dialog road, loaded as a plugin on a dialog run only.
#include <TeskDialogPlugin.h>
#include <TeskDialogRun.h>

#include "TeskSave2Dlg.h"

extern "C" __attribute__((visibility("default"))) void TeskRunDialogs(CTeskCmdLineInfo& info) {
  if (!StartDialogRun()) return;
  RegisterTeskSaveResources();
  CTeskSave2Dlg dlg(info.m_strProfile, info.m_strSource, info.m_strTarget, nullptr);
  RunMainDialog(dlg);
}
