// tallyweb: the statistics of a Tallyhost database as a web site and a JSON
// API. Reads the database (never writes it), keeps its summaries in a file of
// its own and serves them over HTTP.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "ado.h"
#include "http_front.h"
#include "paths.h"
#include "refresher.h"
#include "routes.h"

namespace {

// Workers serving connections at once.
constexpr size_t kWorkers = 64;

const char kUsage[] =
    "usage: tallyweb [--listen ADDR:PORT] [--refresh SECONDS] [--summaries FILE]\n"
    "                [--per-client N] [--aliases FILE] CONNECTION_STRING\n"
    "\n"
    "Serves the statistics of the database named by CONNECTION_STRING (for example\n"
    "\"Provider=SQLite;Data Source=/path/stats.db\") as web pages and JSON under /api/.\n"
    "  --listen ADDR:PORT   where to serve (default 127.0.0.1:8080; port 0 picks a free one)\n"
    "  --refresh SECONDS    how often to read new rows (default 2)\n"
    "  --summaries FILE     the summaries file, rebuilt when deleted (default: in the\n"
    "                       program folder, named after the database)\n"
    "  --per-client N       connections at once from one address (default 16; 0: no\n"
    "                       limit, as behind a reverse proxy that limits them itself)\n"
    "  --aliases FILE       one line per person: the names they used, separated by tabs,\n"
    "                       shown as one player under the first (read again when changed)\n";

std::string DefaultSummaries(const std::string& connection_string) {
  // FNV-1a of the database's identity, so that two databases never share a file.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : web::SourceKey(connection_string)) h = (h ^ c) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, "tallyweb-%016llx.db", static_cast<unsigned long long>(h));
  const std::string folder = paths::DefaultProgramFolder();
  for (size_t i = 0; i <= folder.size(); ++i)
    if (i == folder.size() || (folder[i] == '/' && i > 0)) ::mkdir(folder.substr(0, i).c_str(), 0755);
  return folder + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "127.0.0.1:8080", summaries, connection_string, aliases;
  long refresh = 2, per_client = 16;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "tallyweb: " << a << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--listen") {
      listen = value();
    } else if (a == "--refresh") {
      const std::string v = value();
      char* end = nullptr;
      refresh = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || refresh < 1 || refresh > 3600) {
        std::cerr << "tallyweb: --refresh wants whole seconds from 1 to 3600\n";
        return 2;
      }
    } else if (a == "--per-client") {
      const std::string v = value();
      char* end = nullptr;
      per_client = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || per_client < 0 || per_client > 100000) {
        std::cerr << "tallyweb: --per-client wants a number of connections from 0 to 100000\n";
        return 2;
      }
    } else if (a == "--summaries") {
      summaries = value();
    } else if (a == "--aliases") {
      aliases = value();
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "tallyweb: unknown option " << a << "\n" << kUsage;
      return 2;
    } else if (connection_string.empty()) {
      connection_string = a;
    } else {
      std::cerr << "tallyweb: one connection string only\n" << kUsage;
      return 2;
    }
  }
  if (connection_string.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  const size_t colon = listen.rfind(':');
  char* end = nullptr;
  const long port = colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (colon == std::string::npos || colon == 0 || *end != '\0' || port < 0 || port > 65535) {
    std::cerr << "tallyweb: --listen wants ADDR:PORT, got \"" << listen << "\"\n";
    return 2;
  }
  const std::string host = listen.substr(0, colon);
  if (summaries.empty()) summaries = DefaultSummaries(connection_string);

  // One program per summaries file: a second one would undo the first one's work.
  const std::string lock_path = summaries + ".lock";
  const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0 || ::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    std::cerr << "tallyweb: the summaries file " << summaries << " is in use by another tallyweb (or "
              << lock_path << " cannot be opened); name another with --summaries\n";
    return 1;
  }

  // The database must be readable now; later failures are retried.
  web::Refresher refresher(connection_string, summaries);
  if (!aliases.empty()) refresher.SetAliasesFile(aliases);
  try {
    refresher.RefreshOnce();
    refresher.Checkpoint();
  } catch (const ado::Error& e) {
    std::cerr << "tallyweb: cannot read the database: " << e.Description() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "tallyweb: " << e.what() << "\n";
    return 1;
  }

  // Each open connection holds a worker for its whole life: many workers,
  // a deadline for each request's head, short waits for idle clients and a
  // limit per client address, so that a few clients cannot hold up everyone
  // else (see http_front.h).
  http_front::Limits limits;
  limits.per_client = static_cast<int>(per_client);
  http_front::FrontServer server(limits);
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_timeout(2);
  server.set_keep_alive_max_count(20);
  // The library writes an answer's head and body apart: with Nagle's
  // algorithm the body waits for the client's delayed acknowledgement of the
  // head (40 ms on Linux) on a kept-alive connection.
  server.set_tcp_nodelay(true);
  web::InstallRoutes(server, summaries);
  int bound = server.Bind(host, static_cast<int>(port));
  if (bound <= 0) {
    std::cerr << "tallyweb: cannot listen on " << listen << "\n";
    return 1;
  }

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread refresh_thread([&] {
    std::string last_error;
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, std::chrono::seconds(refresh), [&] { return stopping; })) {
      lock.unlock();
      std::string error;
      try {
        refresher.RefreshOnce();
        refresher.Checkpoint();
      } catch (const ado::Error& e) {
        error = "cannot read the database: " + e.Description();
        refresher.NoteUnreadable();
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (error != last_error && !error.empty()) std::cerr << "tallyweb: " << error << "\n";
      last_error = error;
      lock.lock();
    }
  });

  // SIGINT and SIGTERM end the program.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread signal_thread([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    server.stop();
  });
  signal_thread.detach();

  std::cout << "tallyweb: serving http://" << host << ":" << bound << "/ (summaries in " << summaries << ")"
            << std::endl;
  server.listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  refresh_thread.join();
  return 0;
}
