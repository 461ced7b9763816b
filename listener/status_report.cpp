#include "status_report.h"

#include <httplib.h>

#include <cstdio>
#include <set>

#include "entry_status.h"
#include "http_front.h"
#include "http_rules.h"

namespace tallyhost {

void RefreshEntryStatus(MainState& state) {
  std::set<int> live, with_reason;
  for (const EntrySnapshot& s : TheEntryStatus().Snapshot())
    if (!s.why_not.empty()) with_reason.insert(s.entry);
  for (const ListRow& row : state.ListView1.rows()) {
    const int n = ConnectionList::EntryNumber(row.key);
    live.insert(n);
    const int32_t port = state.udpPeerB->LocalPort(n);
    if (port != 0) {
      TheEntryStatus().SetListening(n, port, true);
    } else {
      int32_t listed = 0;
      try {
        listed = RoundToInt32(NumberPrefix(row.text));
      } catch (...) {
      }
      const bool port_zero = listed == 0 && !with_reason.count(n);   // a failure's reason stays
      TheEntryStatus().SetListening(n, listed, false, port_zero ? "port 0: not bound" : "");
    }
  }
  for (const EntrySnapshot& s : TheEntryStatus().Snapshot())
    if (!live.count(s.entry)) TheEntryStatus().Forget(s.entry);
}

StatusRefresher::StatusRefresher(MainState& state, QObject* parent) : QObject(parent), s_(state) {
  RefreshEntryStatus(s_);
  connect(&timer_, &QTimer::timeout, this, [this] { RefreshEntryStatus(s_); });
  timer_.start(1000);
}

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() { Stop(); }

std::string MetricsServer::Start(const Endpoint& endpoint) {
  Stop();
  server_ = std::make_unique<http_front::FrontServer>();
  // Another method, or a body, is refused before the body is read.
  server_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    const http_rules::Refusal no = http_rules::RefusedBeforeBody(
        req.method, req.get_header_value("Content-Length"), req.has_header("Transfer-Encoding"));
    if (no.status == 0) return httplib::Server::HandlerResponse::Unhandled;
    if (!no.allow.empty()) res.set_header("Allow", no.allow);
    res.status = no.status;
    res.set_content(no.why + "\n", "text/plain; charset=utf-8");
    http_front::CloseAfterAnswer(res);   // the unread body is no request
    return httplib::Server::HandlerResponse::Handled;
  });
  server_->Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(TheEntryStatus().Prometheus(KernelReceiveDrops), "text/plain; version=0.0.4; charset=utf-8");
  });
  server_->Get("/status", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(TheEntryStatus().Describe(), "text/plain; charset=utf-8");
  });
  if (server_->Bind(endpoint.address, endpoint.port) <= 0) {
    server_.reset();
    return "cannot listen on " + endpoint.address + ":" + std::to_string(endpoint.port);
  }
  port_ = endpoint.port;
  httplib::Server* s = server_.get();
  thread_ = std::thread([s] { s->listen_after_bind(); });
  return "";
}

void MetricsServer::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
  port_ = 0;
}

void StartMetrics(MetricsServer& server, const std::string& command_line) {
  std::string value;
  try {
    value = ParseCommandLine(command_line).metrics;
  } catch (...) {
    return;
  }
  if (value.empty()) return;
  std::optional<Endpoint> endpoint = ParseEndpoint(value);
  std::string failure = endpoint ? server.Start(*endpoint) : "malformed endpoint '" + value + "'";
  if (failure.empty()) {
    std::fprintf(stderr, "Tallyhost: metrics at http://%s/metrics\n", value.c_str());
  } else {
    std::fprintf(stderr, "Tallyhost: metrics not served: %s\n", failure.c_str());
  }
  std::fflush(stderr);
}

}  // namespace tallyhost
