// game_time: when a game took place, the one notion of time that every
// figure of tallyweb uses (first and last seen, newest first, frags per day,
// the order of rating, the windows of the awards).
//
// A game's time is its `Game_Start_Date_Time` when the log gave one on a
// date (a start of time of day only, on the zero date, is none), otherwise
// the receipt time of the game's first archived datagram (the lowest `Log`
// linked to it in `Logs_Games`); none while neither is known. It is kept in
// `games.time` (as the database holds the date) and `games.time_serial`.
#pragma once

#include <cstdint>
#include <vector>

namespace web {

class Db;

// Sets the time of every game not yet read for the last time, from the
// games' starts and the datagrams linked to them that the derived file
// holds; inside the caller's transaction. Returns the games whose time
// changed.
std::vector<int64_t> SetGameTimes(Db& db);

// ORDER BY terms for games newest first: games without a time last, then
// the highest number first. `g` is the alias of the games table.
inline const char* NewestFirst() { return "g.time_serial IS NULL, g.time_serial DESC, g.id DESC"; }

}  // namespace web
