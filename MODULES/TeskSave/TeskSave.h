// The save program's application object.
#pragma once

#include <TeskApp.h>

#include "TeskSaveCmdLineInfo.h"

class CTeskSaveApp : public CTeskApp {
 public:
  BOOL InitInstance() override;

 protected:
  void BatchRun(CTeskCmdLineInfo& info) override;
  void DialogRun(CTeskCmdLineInfo& info) override;
  const char* GetUsage() const override;
  const char* GetSynopsis() const override;
};

// The registry script of the program's application identifier.
constexpr UINT IDR_TESKSAVE = 105;
extern const char kTeskSaveRegistryScript[];
