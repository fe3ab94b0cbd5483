// The command line both programs read: [profile] [source path] [target path]
// and the switches "mailto:<address>", "n" (a dry run: everything found and
// checked, nothing changed), "q" (no progress on a terminal) and "h", "?",
// "-help" (the usage text),
// switches and plain arguments in any order. Each program derives its own
// parser from this one.
#pragma once

#include <afxwin.h>

class CTeskCmdLineInfo : public CCommandLineInfo {
 public:
  void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override;

  // Source and target both given: a batch run; otherwise the dialog.
  bool IsBatchRun() const { return !m_strSource.IsEmpty() && !m_strTarget.IsEmpty(); }

  CString m_strProfile;
  CString m_strSource;
  CString m_strTarget;
  CString m_strMailTo;
  int m_nParams = 0;
  BOOL m_bDryRun = FALSE;
  BOOL m_bQuiet = FALSE;
  BOOL m_bShowHelp = FALSE;
};
