// The save program's command line: the common one and the switch "t" (the
// new folder gets no time stamp).
#pragma once

#include <TeskCmdLineInfo.h>

class CTeskSaveCmdLineInfo : public CTeskCmdLineInfo {
 public:
  void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override {
    CTeskCmdLineInfo::ParseParam(pszParam, bFlag, bLast);
    if (bFlag && CString(pszParam).CompareNoCase("t") == 0) m_bNoTimeStamp = TRUE;
  }

  BOOL m_bNoTimeStamp = FALSE;
};
