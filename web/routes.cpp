#include "routes.h"

#include <httplib.h>
#include <sys/stat.h>

#include <functional>
#include <iostream>
#include <set>

#include "derived_schema.h"
#include "figures.h"
#include "html.h"
#include "http_front.h"
#include "http_rules.h"
#include "live.h"
#include "pages.h"
#include "params.h"

namespace web {
namespace {

using json = nlohmann::json;

struct Response {
  json body;
  std::string (*page)(const json&);
};

void Send(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_header("Content-Security-Policy", ContentSecurityPolicy());
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, type);
}

bool IsApi(const httplib::Request& req) { return req.path.rfind("/api/", 0) == 0; }



void SendError(httplib::Response& res, bool api, int status, const std::string& message) {
  if (api) Send(res, status, json{{"error", message}}.dump() + "\n", "application/json");
  else Send(res, status, ErrorPage(status, message), "text/html; charset=utf-8");
}

using Handler = std::function<Response(Db&, const httplib::Request&)>;

// Registers a page at `path` and its twin at "/api" + `path`.
void Twin(httplib::Server& server, const std::string& derived_path, const std::string& path, Handler handler) {
  for (bool api : {false, true}) {
    server.Get((api ? "/api" : "") + path, [=](const httplib::Request& req, httplib::Response& res) {
      try {
        struct stat st;
        if (::stat(derived_path.c_str(), &st) != 0) {
          SendError(res, api, 503, "the summaries are being built; try again shortly");
          return;
        }
        Db db(derived_path, true);
        db.Exec("BEGIN");   // one snapshot for the whole response
        if (Meta(db, "building") == "1") {   // made afresh, not yet complete
          SendError(res, api, 503, "the summaries are being built; try again shortly");
          return;
        }
        Response r = handler(db, req);
        const std::string since = Meta(db, "unreadable_since");
        const std::string stamp = api ? std::string() : LiveStamp(db);
        db.Exec("COMMIT");
        if (api) {
          if (!since.empty()) r.body["unreadable_since"] = since;
          Send(res, 200, r.body.dump(1, ' ', false, json::error_handler_t::replace) + "\n", "application/json");
        } else {
          std::string page = StampPage(r.page(r.body), stamp);
          if (!since.empty()) {
            const size_t main = page.find("<main>");
            if (main != std::string::npos)
              page.insert(main + 6, "<p class=\"notice\">The database cannot be read since " + Escape(since) +
                                        "; the figures below are those read before.</p>");
          }
          Send(res, 200, page, "text/html; charset=utf-8");
        }
      } catch (const BadRequest& e) {
        SendError(res, api, 400, e.what());
      } catch (const NotFound& e) {
        SendError(res, api, 404, e.what());
      } catch (const std::exception& e) {
        std::cerr << "tallyweb: " << req.path << ": " << e.what() << "\n";
        SendError(res, api, 503, "the summaries cannot be read now");
      }
    });
  }
}

}  // namespace

void InstallRoutes(httplib::Server& server, const std::string& derived_path) {
  InstallLive(server, derived_path);
  auto servers = [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{ServersJson(db), &ServersPage};
  };
  Twin(server, derived_path, "/servers", servers);
  Twin(server, derived_path, R"(/servers/(\d{1,10}))", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{ServerJson(db, PathNumber(req)), &ServerPage};
  });
  Twin(server, derived_path, R"(/maps/(\d{1,10}))", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{MapJson(db, PathNumber(req)), &MapPage};
  });
  Twin(server, derived_path, R"(/weapons/(\d{1,10}))", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{WeaponJson(db, PathNumber(req)), &WeaponPage};
  });
  Twin(server, derived_path, "/awards", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{AwardsJson(db), &AwardsPage};
  });
  server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/servers"); });
  Twin(server, derived_path, "/games", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {"server", "page"});
    return Response{GamesJson(db, Number(req, "server", 0), Number(req, "page", 1)), &GamesPage};
  });
  Twin(server, derived_path, R"(/games/(\d{1,10}))", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{GameJson(db, PathNumber(req)), &GamePage};
  });
  Twin(server, derived_path, "/players", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {"sort", "order", "q", "page"});
    PlayerQuery q;
    q.sort = Text(req, "sort", q.sort);
    q.order = Text(req, "order", q.order);
    q.q = Text(req, "q", "");
    q.page = Number(req, "page", 1);
    return Response{PlayersJson(db, q), &PlayersPage};
  });
  Twin(server, derived_path, R"(/players/(\d{1,10}))", [](Db& db, const httplib::Request& req) {
    OnlyParams(req, {});
    return Response{PlayerJson(db, PathNumber(req)), &PlayerPage};
  });
  Twin(server, derived_path, "/weapons", [](Db& db, const httplib::Request& req) {
    return Response{WeaponsJson(db, Listing(req)), &WeaponsPage};
  });
  Twin(server, derived_path, "/types", [](Db& db, const httplib::Request& req) {
    return Response{TypesJson(db, Listing(req)), &TypesPage};
  });
  Twin(server, derived_path, "/maps", [](Db& db, const httplib::Request& req) {
    return Response{MapsJson(db, Listing(req)), &MapsPage};
  });

  auto refuse = [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Allow", "GET, HEAD");
    SendError(res, IsApi(req), 405, "only GET and HEAD are served");
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    SendError(res, IsApi(req), res.status,
              res.status == 404   ? "no such page"
              : res.status == 414 ? "the address is too long"
                                  : "bad request");
  });
  // Byte ranges are not served: the pages are made for each request, and a
  // request naming many overlapping ranges would be answered with the page
  // many times over. The library cuts a response to the ranges it parsed
  // from the request after the handler has run; forgetting them here (the
  // request object is the server's own, not const) makes every answer whole.
  //
  // Before the routing, too, the library has read the request's head but not
  // its body: a method other than GET and HEAD, or a body, is refused here,
  // unread, and the connection closed after the answer (the body's bytes
  // would otherwise be read as the next request).
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    const_cast<httplib::Request&>(req).ranges.clear();
    const http_rules::Refusal no = http_rules::RefusedBeforeBody(
        req.method, req.get_header_value("Content-Length"), req.has_header("Transfer-Encoding"));
    if (no.status == 0) return httplib::Server::HandlerResponse::Unhandled;
    if (!no.allow.empty()) res.set_header("Allow", no.allow);
    SendError(res, IsApi(req), no.status, no.why);
    http_front::CloseAfterAnswer(res);   // the unread body is no request
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    SendError(res, false, 500, "internal error");
  });
}

}  // namespace web
