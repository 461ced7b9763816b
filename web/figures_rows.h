// figures_rows: pieces of JSON that several figures share (a record and
// its name, a game's row in a list of games, frags per death).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "sqlite_db.h"

namespace web {

// frags / max(deaths, 1), to two decimals.
double PerDeath(int64_t frags, int64_t deaths);

nlohmann::json Ref(int64_t record, const std::string& name);

// The latest map of a game: its record (0 when none) and name.
std::pair<int64_t, std::string> MapOf(Db& db, int64_t game);

// The columns of a game's row (select them from `games g`); GameRow reads
// them from a statement whose first columns they are.
extern const char kGameColumns[];
constexpr int kGameColumnCount = 9;
nlohmann::json GameRow(Db& db, Stmt& q);

// "now" as the local day serial of env::Current() (tests drive it).
double LocalNow();

}  // namespace web

namespace web {

// A server's own figures (NotFound when there is none): name, address,
// games, first seen, and whether it is online (see figures.h).
nlohmann::json ServerRow(Db& db, int64_t server);
// The server's game still open (its highest), with its players; null when
// none. `scores`: each player's running figures too.
nlohmann::json CurrentGame(Db& db, int64_t server, bool scores);

}  // namespace web
