// figures: the statistics that tallyweb shows, read from its derived file
// and laid out as JSON. Each page is rendered from the same JSON that its
// /api/ twin returns, so the two never differ.
//
// Figures (over the score rows of the games read so far):
//   frags     rows with the player as Killer and another player as Victim,
//             other than team kills;
//   deaths    rows with the player as Victim and another player as Killer,
//             other than team kills;
//   team kills  rows with the player as Killer and as Victim a player who
//             was on the killer's team at that moment (below);
//   suicides  rows with the player as both;
//   best streak  the longest run of frags in one game without dying (killed
//             by anyone, team mates too, or by one's own hand); team kills
//             neither lengthen nor end it;
//   score     the sum of Score over the rows with the player as Killer;
//   games     the games in whose score table a row names the player;
//   frags per death  frags / max(deaths, 1), to two decimals;
//   mu, sigma, rating  the skill rating (rating_store.h), rating = mu - 3 sigma.
// Teams at a moment. The database keeps, per game and player, one team link
// per distinct team (in the order first joined, teams without a name being
// none), and a score row per team record ("PlayerConnect", "Player",
// "PlayerTeamChange") that does not name the team. Each team record of a
// player is matched in order: the first takes the first link; a later one
// takes the next link when the records left are no more than the links
// left (every one of them must then have named a new team), and so does a
// "PlayerTeamChange" away from the first team while no other was had; with
// one link in the game, every record is that team; a "PlayerTeamChange"
// when all links are taken and there are two is a change to the other one.
// Otherwise the record may name a team had before or a new one, and the
// team is not known until a record that can be matched. A renamed player
// keeps the team of the old name until a team record of the new name. A
// kill is a team kill when both teams are known and the same, so games
// without teams (free-for-all) have none. The score rows of a running game
// are judged with the records and links read so far and not judged again;
// where a later record makes an earlier one ambiguous (a record repeating a
// team, read before the player's next new team), a running game read pass
// by pass may count a kill differently from the same game read at once.
//
// Time: every first seen, last seen, newest first, day of frags and award
// window uses the game's time (game_time.h). A server is online when its
// newest archived datagram (from an address that sent one linked to its
// games) was received 5 minutes ago or less, by env::Current()'s clock.
//
// Awards (the last day and the last week before now, by game time): most
// frags, best frags per death (10 deaths or more), longest streak, most team
// kills, and the player with most frags per weapon; ties go to the lowest
// player record.
//
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
nlohmann::json ServerJson(Db& db, int64_t server);
nlohmann::json MapJson(Db& db, int64_t map);
nlohmann::json WeaponJson(Db& db, int64_t weapon);
nlohmann::json AwardsJson(Db& db);

// The sort columns each list accepts (for validation and table headers).
const char* const* PlayerSortColumns();   // null-terminated
const char* const* WeaponSortColumns();
const char* const* TypeSortColumns();
const char* const* MapSortColumns();

}  // namespace web
