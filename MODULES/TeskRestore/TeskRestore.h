// The restore program's application object.
#pragma once

#include <TeskApp.h>

#include "TeskRestoreCmdLineInfo.h"

class CTeskRestoreApp : public CTeskApp {
 public:
  BOOL InitInstance() override;

 protected:
  void BatchRun(CTeskCmdLineInfo& info) override;
  void DialogRun(CTeskCmdLineInfo& info) override;
  const char* GetUsage() const override;
  const char* GetSynopsis() const override;
};

constexpr UINT IDR_TESKRESTORE = 103;
extern const char kTeskRestoreRegistryScript[];
