#include "live.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <iostream>

#include "derived_schema.h"
#include "html.h"
#include "http_front.h"
#include "sqlite_db.h"

namespace web {
namespace {

// Polls /api/stamp each second while the tab is visible; on a new stamp
// fetches the page and swaps its <main> and title in. The page's own stamp
// is in <meta name="tallyweb-stamp">; a fetched page without /live.js ends
// the polling. data-live on <html> tells the state ("on", "off") to tests
// and style sheets alike.
const char kScript[] = R"JS(// tallyweb: keeps a live page up to date (see live.h).
(function () {
  'use strict';
  var root = document.documentElement;
  var own = document.querySelector('meta[name="tallyweb-stamp"]');
  if (!own) return;
  var stamp = own.getAttribute('content');
  var busy = false, timer = null;
  function stop() {
    if (timer !== null) clearInterval(timer);
    timer = null;
    root.setAttribute('data-live', 'off');
  }
  function reload() {
    return fetch(location.href, {cache: 'no-store', headers: {'Accept': 'text/html'}}).then(function (r) {
      if (!r.ok) throw new Error('HTTP ' + r.status);
      return r.text();
    }).then(function (html) {
      var doc = new DOMParser().parseFromString(html, 'text/html');
      var fresh = doc.querySelector('main'), old = document.querySelector('main');
      if (!fresh || !old) throw new Error('no main');
      old.replaceWith(document.importNode(fresh, true));
      document.title = doc.title;
      var next = doc.querySelector('meta[name="tallyweb-stamp"]');
      if (next) {
        stamp = next.getAttribute('content');
        own.setAttribute('content', stamp);
        root.setAttribute('data-live-updates', String(Number(root.getAttribute('data-live-updates') || 0) + 1));
      } else {
        stop();
      }
    });
  }
  function tick() {
    if (busy || document.hidden) return;
    busy = true;
    fetch('/api/stamp', {cache: 'no-store'}).then(function (r) {
      return r.ok ? r.json() : null;
    }).then(function (j) {
      if (j && j.stamp !== stamp) return reload();
    }).catch(function () {
      // Unreachable or rebuilding: the next tick asks again.
    }).then(function () {
      busy = false;
    });
  }
  timer = setInterval(tick, 1000);
  document.addEventListener('visibilitychange', tick);
  root.setAttribute('data-live', 'on');
  tick();
})();
)JS";

void Answer(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_header("Content-Security-Policy", ContentSecurityPolicy());
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, type);
}

}  // namespace

std::string LiveStamp(Db& db) {
  // What a pass stores moves one of these: the last row read of every
  // dictionary and link table and the last game, every server's packet
  // number, the last score row read of each game not yet read for the
  // last time and whether it is open, the games read for the last time,
  // and the notes that the pages show.
  Stmt q(db.handle(),
         "SELECT (SELECT group_concat(v, ',') FROM (SELECT tbl || '=' || last AS v FROM cursors ORDER BY tbl)),"
         " (SELECT group_concat(v, ',') FROM (SELECT id || ':' || ifnull(packet, '') || ':' || ifnull(name, '') AS v"
         "   FROM servers ORDER BY id)),"
         " (SELECT group_concat(v, ',') FROM (SELECT id || ':' || last_record || ':' || open AS v"
         "   FROM games WHERE final = 0 ORDER BY id)),"
         " (SELECT count(*) FROM games WHERE final = 1),"
         " (SELECT group_concat(v, ',') FROM (SELECT key || '=' || ifnull(value, '') AS v FROM meta"
         "   WHERE key IN ('building', 'unreadable_since', 'first_log') ORDER BY key))");
  q.Step();
  std::string all;
  for (int i = 0; i < 5; ++i) all += q.Text(i) + "|";
  uint64_t h = 1469598103934665603ull;   // FNV-1a: a short, stable text
  for (unsigned char c : all) h = (h ^ c) * 1099511628211ull;
  char out[20];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

std::string StampPage(const std::string& page, const std::string& stamp) {
  const size_t head = page.find("</head>");
  if (head == std::string::npos || page.find("<script src=\"/live.js\"") > head) return page;
  std::string out = page;
  out.insert(head, "<meta name=\"tallyweb-stamp\" content=\"" + Escape(stamp) + "\">");
  return out;
}

void InstallLive(httplib::Server& server, const std::string& derived_path) {
  server.Get("/live.js", [](const httplib::Request& req, httplib::Response& res) {
    if (!req.params.empty()) {
      Answer(res, 400, "// no parameters\n", "text/javascript; charset=utf-8");
      return;
    }
    Answer(res, 200, kScript, "text/javascript; charset=utf-8");
  });
  server.Get("/api/stamp", [derived_path](const httplib::Request& req, httplib::Response& res) {
    // Closed after each answer: a poll holds no worker while it waits.
    http_front::CloseAfterAnswer(res);
    auto error = [&](int status, const std::string& message) {
      Answer(res, status, nlohmann::json{{"error", message}}.dump() + "\n", "application/json");
    };
    if (!req.params.empty()) return error(400, "unknown parameter");
    try {
      struct stat st;
      if (::stat(derived_path.c_str(), &st) != 0) return error(503, "the summaries are being built; try again shortly");
      Db db(derived_path, true);
      db.Exec("BEGIN");
      if (Meta(db, "building") == "1") return error(503, "the summaries are being built; try again shortly");
      const std::string stamp = LiveStamp(db);
      db.Exec("COMMIT");
      Answer(res, 200, nlohmann::json{{"stamp", stamp}}.dump() + "\n", "application/json");
    } catch (const std::exception& e) {
      std::cerr << "tallyweb: /api/stamp: " << e.what() << "\n";
      error(503, "the summaries cannot be read now");
    }
  });
}

}  // namespace web
