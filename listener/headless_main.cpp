#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "headless_front.h"
#include "main_form.h"
#include "main_module.h"
#include "msgbox.h"
#include "run.h"

namespace tallyhost {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

int RunHeadless(int argc, char** argv, const std::string& command_line) {
  QCoreApplication app(argc, argv);
  msgbox::Install(std::make_shared<msgbox::HeadlessMessageBoxes>());
  SignalWatcher watcher;
  HeadlessFront front;
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
  MainForm form(state, front, front);
  form.StartReceiving();
  QObject::connect(&watcher, &SignalWatcher::Terminate, &app, [&](int sig) {
    std::fprintf(stderr, "Tallyhost: signal %d received, closing.\n", sig);
    form.Flush();
    form.ClosingSteps();
    app.quit();
  });
  return app.exec();
}

}  // namespace tallyhost
