// aliases: the names that one person used, from a file the site's keeper
// writes: one line per person, the names separated by TAB characters (names
// in the logs cannot hold one), the first name the one shown. Blank lines
// and lines starting with '#' are skipped; blanks around a name are kept
// (they are part of it). A name on two lines belongs to the first.
//
// The figures, rating and pages of all the names of a line are those of one
// player, kept under the record of the first name seen in the database in
// the order of the line (normally the first name).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace web {

class Db;

using AliasLines = std::vector<std::vector<std::string>>;

// Reads the file; throws std::runtime_error naming the file and the fault.
AliasLines ReadAliases(const std::string& path);

// Player record -> the record it is merged into, for every player of the
// derived file named on a line with another player present (the kept
// record maps to itself).
std::map<int64_t, int64_t> AliasMap(Db& db, const AliasLines& lines);

}  // namespace web
