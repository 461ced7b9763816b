// http_front: the HTTP server both programs serve from (the site and the
// listener's metrics): cpp-httplib's Server, with the handling of each
// accepted connection of its own.
//
// The library reads a request's head with a timeout per read, so a client
// that trickles its head a byte at a time holds a worker for ever; it
// forgets bytes read ahead between two requests of one connection, so
// pipelined requests after the first go unanswered; and it listens with a
// queue 5 deep. FrontServer keeps the library's parsing, routing and
// answers, and adds:
// - a deadline per request: its head must arrive whole within
//   `head_deadline` of its first byte (or of the connection, for the first
//   request), else the connection is closed; bodies are refused unread by
//   the routes, so a request is its head;
// - a read buffer kept for the connection's life, so pipelined requests are
//   answered in order;
// - at most `per_client` connections at once from one address (0: no limit):
//   a connection beyond it is answered 503 at once and closed;
// - a listen queue `backlog` deep.
// Idle connections between requests are let go after the keep-alive
// timeout (set_keep_alive_timeout), and after set_keep_alive_max_count
// requests.
//
// Thread safety: as httplib::Server (one thread listens; workers serve).
#pragma once

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace http_front {

struct Limits {
  std::chrono::milliseconds head_deadline{5000};
  int per_client = 16;
  int backlog = 1024;
};

class FrontServer : public httplib::Server {
 public:
  explicit FrontServer(Limits limits = {}) : limits_(limits) {}

  // bind_to_port / bind_to_any_port with this server's listen queue; the
  // bound port, or -1.
  int Bind(const std::string& host, int port);

  // Connections open now from `address` (for tests and the status).
  int OpenFrom(const std::string& address);

 private:
  bool process_and_close_socket(socket_t sock) override;
  bool Admit(const std::string& address);
  void Leave(const std::string& address);

  Limits limits_;
  std::mutex mutex_;
  std::map<std::string, int> open_;   // address -> connections open
};

// Called by a handler of a FrontServer: the connection is closed once this
// answer is written, and the answer says so ("Connection: close"). The
// library alone keeps the connection whatever header a handler sets.
void CloseAfterAnswer(httplib::Response& res);

}  // namespace http_front
