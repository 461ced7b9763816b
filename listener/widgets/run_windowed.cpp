#include <QApplication>
#include <cstdio>

#include "box_throttle.h"
#include "dialogs.h"
#include "headless_front.h"
#include "main_form.h"
#include "main_form_window.h"
#include "qt_message_boxes.h"
#include "run.h"
#include "status_panel.h"
#include "status_report.h"

namespace tallyhost {

int RunWindowed(int argc, char** argv, const std::string& command_line) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(true);
  InstallThrottledBoxes(std::make_shared<QtMessageBoxes>());
  SignalWatcher watcher;
  MainState state;
  MainFormWindow window(state);
  WidgetDialogs dialogs(&window);
  try {
    Main(state, command_line, window, dialogs);
  } catch (const StartupAbort& e) {
    std::fprintf(stderr, "Tallyhost: %s\n", e.what());
    return 1;
  }
  MainForm form(state, window, dialogs);
  window.SetCore(&form);
  form.StartReceiving();
  StatusPanel status(window, state);   // status_panel.h
  MetricsServer metrics;
  StartMetrics(metrics, command_line);
  QObject::connect(&watcher, &SignalWatcher::Terminate, &window, [&](int) { window.close(); });
  QObject::connect(&watcher, &SignalWatcher::Save, &window, [&](int) { SaveOnSignal(form); });
  return app.exec();
}

}  // namespace tallyhost
