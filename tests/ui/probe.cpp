// A dialog program the tests start without a display: it must say why in
// one line on stderr and end with a non-zero code, without touching Qt.
#include <tesk_ui.h>

int main(int argc, char** argv) {
  AfxSetCommandLine(argc, argv);
  CWinApp app("UiProbe");
  app.SetCurrentHandles();
  MSG msg;
  if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) return 4;  // no UI: nothing to pump
  CDialog dlg(1);
  return AfxRunModalMainDialog(dlg) == -1 ? 3 : 0;
}
