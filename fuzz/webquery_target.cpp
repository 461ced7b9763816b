// Fuzz target: tallyweb's query parameters, from the query text as a client
// sends it to the JSON the list routes answer. The first byte picks the
// route (players, games, weapons, types, maps); the rest is the query text,
// read by the library's own reader. The summaries are a small file on tmpfs
// made once, holding names with the characters a name search must take
// literally (_ % \ and quotes). Refusals (BadRequest, NotFound) are answers;
// anything else thrown, or a crash, is a finding.
#include <httplib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "derived_schema.h"
#include "figures.h"
#include "pages.h"
#include "params.h"
#include "sqlite_db.h"

namespace {

web::Db& Summaries() {
  static const std::string path = [] {
    const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string p = std::string(shm) + "/fuzz_webquery_" + std::to_string(getpid()) + ".db";
    unlink(p.c_str());
    web::Db db(p, false);
    db.Exec(web::DerivedSchemaSql());
    const char* names[] = {"Ann", "a_b", "a%b", "50%", "back\\slash", "O'Neil", "\"q\"", "__", "%", "Zed"};
    int id = 1;
    for (const char* n : names) {
      std::string quoted;
      for (const char* c = n; *c; ++c) quoted += *c == '\'' ? std::string("''") : std::string(1, *c);
      const std::string row = std::to_string(id++);
      db.Exec("INSERT INTO players (id, name, frags, deaths, games, last_serial) VALUES (" + row + ", '" + quoted +
              "', " + row + ", 3, 1, 45000." + row + ")");
      db.Exec("INSERT INTO player_names (rowid, name) VALUES (" + row + ", '" + quoted + "')");
      db.Exec("INSERT INTO weapons (id, name) VALUES (" + row + ", '" + quoted + "')");
      db.Exec("INSERT INTO maps (id, name) VALUES (" + row + ", '" + quoted + "')");
    }
    return p;
  }();
  // libFuzzer ends by exit(): the file goes before `path` does.
  static const bool removed_at_exit = (std::atexit([] { unlink(path.c_str()); }), true);
  (void)removed_at_exit;
  // One snapshot for every input, as a route holds one for its answer: the
  // file never changes, so it is not looked at again statement by statement.
  static web::Db db(path, true);
  static const bool begun = (db.Exec("BEGIN"), true);
  (void)begun;
  return db;
}

// Both answers, as the routes give them: the JSON text (bytes that are no
// UTF-8, such as a parameter echoed as given, replaced) and the page.
void Give(const nlohmann::json& j, std::string (*page)(const nlohmann::json&)) {
  (void)j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  (void)page(j);
}

void Answer(uint8_t route, const httplib::Request& req) {
  web::Db& db = Summaries();
  switch (route % 5) {
    case 0: {
      web::OnlyParams(req, {"sort", "order", "q", "page"});
      web::PlayerQuery q;
      q.sort = web::Text(req, "sort", q.sort);
      q.order = web::Text(req, "order", q.order);
      q.q = web::Text(req, "q", "");
      q.page = web::Number(req, "page", 1);
      Give(web::PlayersJson(db, q), &web::PlayersPage);
      break;
    }
    case 1:
      web::OnlyParams(req, {"server", "page"});
      Give(web::GamesJson(db, web::Number(req, "server", 0), web::Number(req, "page", 1)), &web::GamesPage);
      break;
    case 2: Give(web::WeaponsJson(db, web::Listing(req)), &web::WeaponsPage); break;
    case 3: Give(web::TypesJson(db, web::Listing(req)), &web::TypesPage); break;
    case 4: Give(web::MapsJson(db, web::Listing(req)), &web::MapsPage); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  httplib::Request req;
  httplib::detail::parse_query_text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), req.params);
  try {
    Answer(data[0], req);
  } catch (const web::BadRequest&) {
  } catch (const web::NotFound&) {
  }
  return 0;
}
