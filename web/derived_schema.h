// derived_schema: the tables of tallyweb's own file, which holds what it has
// read of a statistics database and the figures summed from it.
//
// The file is disposable: a missing file, one of another layout version or
// one made from another database is created afresh. Mirrors of the source
// tables keep the source's Record as `id` (dictionaries, servers, games) or
// `rec` (link tables). `cursors` holds, per source table, the last Record
// read; `games.last_record` does so per score table, and `games.last_row`
// holds that row's values, by which a game rolled back is told.
// `game_players` also carries what the summing of a running game needs
// between passes: the player's current run of frags (`streak`) and team
// (`team`, with the team records and team links used so far).
#pragma once

#include <string>

namespace web {

class Db;

constexpr int kDerivedVersion = 9;

// Creates the tables (when missing) on an open, writable handle.
const char* DerivedSchemaSql();

// A value of the `meta` table ("version", "source", "building",
// "first_log", "unreadable_since"); empty when it has none.
std::string Meta(Db& db, const std::string& key);
void SetMeta(Db& db, const std::string& key, const std::string& value);

// The player-event keywords whose rows the engine writes into a game's
// score table (with weapon 0): they name players but are no kills.
bool IsPlayerEventType(const std::string& type_name);

}  // namespace web
