// figures: the statistics that tallyweb shows, read from its derived file
// and laid out as JSON. Each page is rendered from the same JSON that its
// /api/ twin returns, so the two never differ.
//
// Figures (over the score rows of the games read so far):
//   frags     rows with the player as Killer and another player as Victim;
//   deaths    rows with the player as Victim and another player as Killer;
//   suicides  rows with the player as both;
//   score     the sum of Score over the rows with the player as Killer;
//   games     the games in whose score table a row names the player;
//   frags per death  frags / max(deaths, 1), to two decimals;
//   mu, sigma, rating  the skill rating (rating_store.h), rating = mu - 3 sigma.
// The rows the engine writes for joins, leaves, team changes and renames
// (weapon 0, type named after the keyword) name players but are no kills:
// they count for games only (a rename is no frag of the old name on the new).
// Dates are shown as the database holds them; an open game ends "running".
//
// Functions throw NotFound for an unknown record or page and BadRequest for
// a parameter they refuse. Thread-safe: each call uses the handle it gets.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "sqlite_db.h"

namespace web {

struct NotFound : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr int64_t kPageSize = 50;

struct PlayerQuery {
  std::string sort = "rating";  // name frags deaths suicides score fpd games last_seen rating
  std::string order = "desc";   // asc desc
  std::string q;                // part of the name, any letter case
  int64_t page = 1;
};

struct ListQuery {               // weapons, types, maps
  std::string sort = "name";
  std::string order = "asc";
};

nlohmann::json ServersJson(Db& db);
nlohmann::json GamesJson(Db& db, int64_t server /* 0: all */, int64_t page);
nlohmann::json GameJson(Db& db, int64_t game);
nlohmann::json PlayersJson(Db& db, const PlayerQuery& query);
nlohmann::json PlayerJson(Db& db, int64_t player);
nlohmann::json WeaponsJson(Db& db, const ListQuery& query);
nlohmann::json TypesJson(Db& db, const ListQuery& query);
nlohmann::json MapsJson(Db& db, const ListQuery& query);

// The sort columns each list accepts (for validation and table headers).
const char* const* PlayerSortColumns();   // null-terminated
const char* const* WeaponSortColumns();
const char* const* TypeSortColumns();
const char* const* MapSortColumns();

}  // namespace web
