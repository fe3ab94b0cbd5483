// A static text turned into a clickable link: underlined in the browser's
// link colour, a pointing hand over the text, opened by the shell on a click
// or on Enter or Space.
//
// A dialog attaches it to its static in OnInitDialog:
//   m_link.SubclassWindow(GetDlgItem(IDC_LINK)->m_hWnd);
// The static's text is then both what is drawn and what is opened (and the
// tool tip). The colours come from the browser's settings in the registry
// (HKEY_CURRENT_USER\Software\Microsoft\Internet Explorer\Settings, values
// "Anchor Color" and "Anchor Color Visited", "r,g,b"), blue and purple
// without them. When the shell cannot open the target, a message names it
// (a local page by its path) so that the user can open it by hand.
#pragma once

#include <afxcmn.h>

#include <memory>

// What the link says when the shell cannot open its target ("%s": the
// target, a local page as its path); the program's strings, else English.
constexpr UINT IDS_LINK_NO_OPENER = 5038;
constexpr UINT IDS_LINK_MISSING = 5039;

class CHyperLink : public CWnd {
 public:
  CHyperLink();
  ~CHyperLink() override;
  CHyperLink(const CHyperLink&) = delete;
  CHyperLink& operator=(const CHyperLink&) = delete;

  // Takes over an existing control (a dialog's static) and sets the link up.
  BOOL SubclassWindow(HWND hWnd);

  // What ParseColor answers for a text that is no colour.
  static constexpr COLORREF kNoColor = static_cast<COLORREF>(-1);
  // A colour written as "red,green,blue" in decimal (blanks and a sign
  // before each number allowed, each cut to 8 bits); kNoColor when a comma
  // is missing, nothing follows the second comma, or red or green is -1.
  static COLORREF ParseColor(LPCTSTR lpszColor);

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  void InitLink();
  void CalcTextRect();
  void DrawLink(CDC& dc);
  void OpenLink();

  void OnPaint(CDC& dc) override;
  void OnSetFocus(CWnd* pOldWnd) override;
  void OnKillFocus(CWnd* pNewWnd) override;
  void OnMouseMove(UINT nFlags, CPoint point) override;
  void OnLButtonDown(UINT nFlags, CPoint point) override;
  void OnLButtonUp(UINT nFlags, CPoint point) override;
  BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) override;
  void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags) override;
  UINT OnGetDlgCode() override;

  std::unique_ptr<char[]> m_pszText;  // the text drawn
  std::unique_ptr<char[]> m_pszURL;   // what the shell opens; the tool tip
  HCURSOR m_hLinkCursor = nullptr;
  CFont m_font;                       // the parent's font, underlined
  CRect m_rcText;                     // the drawn text, client coordinates; the clickable area
  BOOL m_bText = TRUE;                // FALSE for statics showing an image or a frame
  CToolTipCtrl m_tooltip;
  BOOL m_bVisited = FALSE;
  COLORREF m_crLink = RGB(0, 0, 255);
  COLORREF m_crVisited = RGB(128, 0, 128);

 private:
  // The text drawn: the own text, else the target.
  const char* ShownText() const;
  // DT_CENTER or DT_RIGHT after the static's alignment.
  UINT AlignmentFlags() const;
  static HCURSOR CreateHandCursor();
  void ShowOpenFailure();
  void ReadRegistryColors();
};
