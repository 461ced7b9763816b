// status_report: keeps EntryStatus in step with the running listener and
// serves it.
//
// RefreshEntryStatus reads each entry's socket (bound or not, its port) and
// forgets deleted entries; StatusRefresher does so every second on the
// user-interface thread, so that the metrics endpoint (another thread)
// always reads a recent state.
//
// MetricsServer serves GET /metrics (the Prometheus text format) and GET
// /status (the readable report) over HTTP with cpp-httplib, on a thread of
// its own; it only reads EntryStatus and the kernel's drop counters. Off
// unless started.
//
// User-interface thread, except where noted.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <string>
#include <thread>

#include "main_module.h"
#include "options.h"

namespace http_front {
class FrontServer;
}

namespace tallyhost {

void RefreshEntryStatus(MainState& state);

class StatusRefresher : public QObject {
 public:
  explicit StatusRefresher(MainState& state, QObject* parent = nullptr);

 private:
  MainState& s_;
  QTimer timer_;
};

class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();
  // Binds and starts serving; empty on success, else why it cannot.
  std::string Start(const Endpoint& endpoint);
  void Stop();
  int Port() const { return port_; }

 private:
  std::unique_ptr<http_front::FrontServer> server_;
  std::thread thread_;
  int port_ = 0;
};

// Starts `server` at the "metrics=" endpoint of the command line, when one
// is given; a failure is written to standard error and the listener goes on.
void StartMetrics(MetricsServer& server, const std::string& command_line);

}  // namespace tallyhost
