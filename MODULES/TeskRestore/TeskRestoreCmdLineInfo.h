// The restore program's command line: the common one, no switch of its own.
#pragma once

#include <TeskCmdLineInfo.h>

class CTeskRestoreCmdLineInfo : public CTeskCmdLineInfo {};
