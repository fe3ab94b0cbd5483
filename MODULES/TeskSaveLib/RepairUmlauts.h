// Repairs the German letters that a batch file saved in the Windows code
// page loses when the command processor reads it as code page 850.
#pragma once

#include <afx.h>

void RepairUmlauts(CString& text);
