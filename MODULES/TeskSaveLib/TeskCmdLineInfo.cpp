#include "TeskCmdLineInfo.h"

#include <cstring>

void CTeskCmdLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL) {
  if (bFlag) {
    // Anything in front of "mailto:" is ignored; a later address replaces
    // an earlier one. Other switches are ignored.
    if (const char* mailto = std::strstr(pszParam, "mailto:")) m_strMailTo = mailto + std::strlen("mailto:");
    const CString name(pszParam);
    if (name.CompareNoCase("n") == 0) m_bDryRun = TRUE;
    if (name.CompareNoCase("q") == 0) m_bQuiet = TRUE;
    if (name.CompareNoCase("h") == 0 || name == "?" || name.CompareNoCase("-help") == 0 ||
        name.CompareNoCase("help") == 0)
      m_bShowHelp = TRUE;
    return;
  }
  switch (++m_nParams) {
    case 1: m_strProfile = pszParam; break;
    case 2: m_strSource = pszParam; break;
    case 3: m_strTarget = pszParam; break;
    default: break;  // further plain arguments are counted and dropped
  }
}
