#include "TeskCmdLineInfo.h"

#include <cstring>

void CTeskCmdLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL) {
  if (bFlag) {
    // Anything in front of "mailto:" is ignored; a later address replaces
    // an earlier one. Other switches are ignored.
    if (const char* mailto = std::strstr(pszParam, "mailto:")) m_strMailTo = mailto + std::strlen("mailto:");
    return;
  }
  switch (++m_nParams) {
    case 1: m_strProfile = pszParam; break;
    case 2: m_strSource = pszParam; break;
    case 3: m_strTarget = pszParam; break;
    default: break;  // further plain arguments are counted and dropped
  }
}
