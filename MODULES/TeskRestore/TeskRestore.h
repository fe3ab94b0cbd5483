// The restore program's application object.
#pragma once

#include <TeskApp.h>

#include "TeskRestoreCmdLineInfo.h"

class CTeskRestoreApp : public CTeskApp {
 public:
  BOOL InitInstance() override;

 private:
  void BatchRun(CTeskRestoreCmdLineInfo& info);
  void DialogRun(CTeskRestoreCmdLineInfo& info);
};

constexpr UINT IDR_TESKRESTORE = 103;
extern const char kTeskRestoreRegistryScript[];
