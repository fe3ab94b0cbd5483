// How alive the save dialog stays during a long save: the same save of a
// folder runs once without a window (the baseline) and once from the
// dialog's run button; for the dialog run it reports the paint events its
// windows processed, the longest gap between two of them, and the progress
// messages that moved the bar.
// The dialog is asked to repaint every 20 ms during the run (as when other
// windows pass over it), so the gaps show how long it could not.
//   dialog_paint PROFILE SOURCE BASELINE_TARGET DIALOG_TARGET
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <FoldersCopier.h>
#include <ReportFile.h>
#include <TeskSave2Dlg.h>
#include <TeskSaveProgressT.h>
#include <tesk_ui.h>
#include <tesk_ui_qt.h>

namespace {

QElapsedTimer g_clock;

class PaintRecorder : public QObject {
 public:
  QWidget* window = nullptr;
  bool recording = false;
  std::vector<qint64> times;
  bool eventFilter(QObject* object, QEvent* event) override {
    if (recording && event->type() == QEvent::Paint) {
      auto* widget = qobject_cast<QWidget*>(object);
      if (widget && widget->window() == window) times.push_back(g_clock.nsecsElapsed());
    }
    return false;
  }
};

class MeasuredSaveDlg : public CTeskSave2Dlg {
 public:
  using CTeskSave2Dlg::CTeskSave2Dlg;
  int positions = 0;
  std::vector<LPARAM> values;
  qint64 lastPosition = 0;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_PROGRESS_POS) {
      ++positions;
      lastPosition = g_clock.nsecsElapsed();
      if (values.empty() || values.back() != lParam) values.push_back(lParam);
    }
    return CTeskSave2Dlg::WindowProc(message, wParam, lParam);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s PROFILE SOURCE BASELINE_TARGET DIALOG_TARGET\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  AfxSetCommandLine(argc, argv);
  std::string why;
  if (!AfxInitUi(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 2;
  }
  RegisterTeskSaveResources();
  MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
  MAPIInitialize(&init);
  g_clock.start();

  // The baseline: the same save without a window.
  double baseline = 0;
  {
    CTeskMAPISession session;
    CString profile = argv[1];
    if (FAILED(MAPILogonEx(0, profile.GetBuffer(profile.GetLength()), nullptr, MAPI_EXTENDED, &session))) {
      std::fprintf(stderr, "cannot log on to %s\n", argv[1]);
      return 2;
    }
    profile.ReleaseBuffer();
    CComPtr<IMAPIProgress> progress = CreateProgressObject<CTeskSaveProgress>();
    const qint64 start = g_clock.nsecsElapsed();
    try {
      CFoldersCopier copier(session);
      copier.Copy(argv[2], argv[3], TRUE, progress);
    } catch (CException* e) {
      e->ReportError();
      e->Delete();
      return 1;
    }
    baseline = static_cast<double>(g_clock.nsecsElapsed() - start) / 1e9;
  }

  PaintRecorder recorder;
  qApp->installEventFilter(&recorder);
  MeasuredSaveDlg dlg(argv[1], argv[2], argv[4], nullptr);
  qint64 runStart = 0, runEnd = 0;
  // As when other windows pass over it, the dialog is asked to repaint every
  // 20 ms; it can only do so when the run lets its messages through.
  QTimer exposer;
  QObject::connect(&exposer, &QTimer::timeout, [&] {
    if (recorder.window) recorder.window->update();
  });
  exposer.start(20);
  QTimer::singleShot(100, qApp, [&] {
    recorder.window = AfxWidgetFromHandle(dlg.m_hWnd);
    auto* check = qobject_cast<QAbstractButton*>(AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, IDC_NO_TIMESTAMP)));
    auto* run = qobject_cast<QAbstractButton*>(AfxWidgetFromHandle(::GetDlgItem(dlg.m_hWnd, IDC_RUN)));
    check->click();
    recorder.recording = true;
    runStart = g_clock.nsecsElapsed();
    run->click();
    runEnd = g_clock.nsecsElapsed();
    recorder.recording = false;
  });
  const INT_PTR result = dlg.DoModal();
  MAPIUninitialize();
  if (result != IDOK || theReportFile.HasErrors()) {
    std::fprintf(stderr, "the dialog's save failed\n");
    return 1;
  }

  const double run = static_cast<double>(runEnd - runStart) / 1e9;
  qint64 longest = 0, previous = runStart;
  for (qint64 t : recorder.times) {
    if (getenv("DIALOG_PAINT_DEBUG") && t - previous > 100000000)
      std::printf("gap %.0f ms ending at %.0f ms (last progress at %.0f ms)\n", (t - previous) / 1e6,
                  (t - runStart) / 1e6, (dlg.lastPosition - runStart) / 1e6);
    longest = std::max(longest, t - previous);
    previous = t;
  }
  // The copy's last step ends with the store's commit, during which no
  // progress arrives; that part is shown on its own.
  qint64 duringSteps = 0;
  previous = runStart;
  for (qint64 t : recorder.times) {
    if (t > dlg.lastPosition) break;
    duringSteps = std::max(duringSteps, t - previous);
    previous = t;
  }
  longest = std::max(longest, runEnd - previous);
  std::printf("save without window (baseline): %.2f s\n", baseline);
  std::printf("save from the dialog:           %.2f s   ratio %.2f\n", run, run / baseline);
  std::printf("paint events during the run:    %zu (%.1f per second)\n", recorder.times.size(),
              static_cast<double>(recorder.times.size()) / run);
  std::printf("longest gap between paints:     %.0f ms   (%.3f of the baseline save)\n",
              static_cast<double>(longest) / 1e6, static_cast<double>(longest) / 1e9 / baseline);
  std::printf("  of which while copying:       %.0f ms; after the last progress message (commit): %.0f ms\n",
              static_cast<double>(duringSteps) / 1e6, static_cast<double>(runEnd - dlg.lastPosition) / 1e6);
  std::printf("progress messages:              %d, bar positions %zu, last %ld of 1000\n", dlg.positions,
              dlg.values.size(), dlg.values.empty() ? 0L : static_cast<long>(dlg.values.back()));
  return 0;
}
