// score_table: the layout of the score tables, for the engine that creates
// and fills them, the listener's schema (the "Scores" table that takes the
// rows of games without a table of their own) and the readers.
//
// Every score table has the column Record (the row number, an integer)
// followed by kColumns in this order. Each game's table is named
// "Scores_000000" followed by the game's record number in decimal.
//
// Constants and pure functions; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace scoretable {

struct Column {
  const char* name;
  bool single;   // a single-precision number; otherwise a 32-bit integer
};

inline constexpr std::array<Column, 6> kColumns = {{{"Killer", false},
                                                    {"Victim", false},
                                                    {"Type", false},
                                                    {"Weapon", false},
                                                    {"Score", false},
                                                    {"Offset", true}}};

// The table taking the rows of games that have no table of their own.
inline constexpr char kSharedTable[] = "Scores";

std::string TableNameOf(int64_t game_record);

// "Record, Killer, Victim, Type, Weapon, Score, Offset"
std::string SelectList();

// The definitions of kColumns for a Create Table statement, each preceded by
// ", ": the integer columns of `integer_type`, the single one of `single_type`.
std::string ColumnDefinitions(const std::string& integer_type, const std::string& single_type);

}  // namespace scoretable
