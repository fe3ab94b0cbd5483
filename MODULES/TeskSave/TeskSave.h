// The save program's application object.
#pragma once

#include <TeskApp.h>

#include "TeskSaveCmdLineInfo.h"

class CTeskSaveApp : public CTeskApp {
 public:
  CTeskSaveApp();
  BOOL InitInstance() override;

 private:
  void BatchRun(CTeskSaveCmdLineInfo& info);
  void DialogRun(CTeskSaveCmdLineInfo& info);
};

// The registry script of the program's application identifier.
constexpr UINT IDR_TESKSAVE = 105;
extern const char kTeskSaveRegistryScript[];
