#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "box_throttle.h"
#include "env.h"
#include "headless_front.h"
#include "main_form.h"
#include "main_module.h"
#include "msgbox.h"
#include "options.h"
#include "sender_gate.h"
#include "entry_status.h"
#include "status_report.h"
#include "run.h"

namespace tallyhost {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (!env::VariableOr(name, "").empty()) return true;
  }
  return false;
}

bool AnyListening(const MainState& state) {
  for (const ListRow& row : state.ListView1.rows())
    if (state.udpPeerB->LocalPort(ConnectionList::EntryNumber(row.key)) != 0) return true;
  return false;
}

void SaveOnSignal(MainForm& form) {
  for (const std::string& p : TheSenderGate().Reload())
    std::fprintf(stderr, "Tallyhost: allow-list %s\n", p.c_str());
  try {
    form.ClosingSteps();
    std::fprintf(stderr, "Tallyhost: SIGHUP received: connections and settings saved, allow-list read again; "
                         "Process.log and Logout.log replaced at their paths are written from the next line on.\n");
  } catch (...) {
    Failure f = CurrentFailure();
    std::fprintf(stderr, "Tallyhost: SIGHUP received, saving failed: Error # %d: %s\n", f.Number(),
                 f.Description().c_str());
  }
  std::fflush(stderr);
}

void ReportStatus(MainState& state) {
  RefreshEntryStatus(state);
  const std::string report = TheEntryStatus().Describe();
  TheEntryStatus().MarkProblemsRead();
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
}

int RunHeadless(int argc, char** argv, const std::string& command_line) {
  QCoreApplication app(argc, argv);
  InstallThrottledBoxes(std::make_shared<msgbox::HeadlessMessageBoxes>());
  SignalWatcher watcher;
  HeadlessFront front;
  CommandLine options;
  try {
    options = ParseCommandLine(command_line);
  } catch (...) {
    // A malformed number is reported by start-up itself.
  }
  front.SetQuiet(options.quiet);
  MainState state;
  state.Headless = true;
  try {
    Main(state, command_line, front, front);
  } catch (const StartupAbort& e) {
    std::fprintf(stderr, "Tallyhost: %s\n", e.what());
    return 1;
  }
  for (const ListRow& row : state.ListView1.rows()) {
    int n = ConnectionList::EntryNumber(row.key);
    int32_t port = state.udpPeerB->LocalPort(n);
    std::printf("Connection %d: port %s (%s), database %s, log %s\n", n, row.text.c_str(),
                port ? "listening" : "not listening", row.sub[0].c_str(), row.sub[2].c_str());
  }
  std::fflush(stdout);
  if (!AnyListening(state)) {
    std::fprintf(stderr, "Tallyhost: no connection could listen (see the messages above); ending.\n");
    return kExitNoListener;
  }
  MainForm form(state, front, front);
  form.StartReceiving();
  StatusRefresher refresher(state);   // status_report.h
  MetricsServer metrics;
  StartMetrics(metrics, command_line);
  QObject::connect(&watcher, &SignalWatcher::Report, &app, [&](int) { ReportStatus(state); });
  // The report comes from the status alone, which the main thread keeps
  // (listening states each second), so it answers while a pass waits.
  watcher.SetReportHandler([] {
    const std::string report = TheEntryStatus().Describe();
    TheEntryStatus().MarkProblemsRead();
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
  });
  QObject::connect(&watcher, &SignalWatcher::Terminate, &app, [&](int sig) {
    std::fprintf(stderr, "Tallyhost: signal %d received, closing.\n", sig);
    form.Flush();
    form.ClosingSteps();
    app.quit();
  });
  QObject::connect(&watcher, &SignalWatcher::Save, &app, [&](int) { SaveOnSignal(form); });
  return app.exec();
}

}  // namespace tallyhost
