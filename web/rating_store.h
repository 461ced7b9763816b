// rating_store: keeps the players' skill ratings (rating.h) in the derived
// file, with the other summaries.
//
// Rated games: closed games with at least two participants, the players
// with a frag, death, suicide or team kill (either side of it) in the game. A player's game score is the
// sum of Score over the rows with them as Killer. A game is a team game
// when every participant has a team in it (the last one linked to them in
// the game) and there are two teams or more; teams are then ranked by the
// sum of their members' scores. Otherwise every participant plays alone,
// ranked by score. Higher scores rank first; equal scores tie.
//
// Games are rated in the order of `games.time_serial` (game_time.h; none
// sorts first), then id. `games.rated` marks the games done; a closed game
// that sorts before the last one rated makes every rating be computed again
// from the start. `rating_history` holds each participant's mu and sigma
// after each rated game; it is computed again with the ratings.
#pragma once

#include <cstdint>

namespace web {

class Db;

// Rates the closed games not yet rated; inside the caller's transaction.
// Returns the number of games rated.
int64_t RateClosedGames(Db& db);

}  // namespace web
