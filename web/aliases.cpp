#include "aliases.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "sqlite_db.h"

namespace web {

AliasLines ReadAliases(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the aliases file " + path);
  AliasLines lines;
  std::set<std::string> seen;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.find('\0') != std::string::npos)
      throw std::runtime_error(path + ":" + std::to_string(number) + ": a NUL character");
    std::vector<std::string> names;
    std::stringstream fields(line);
    for (std::string name; std::getline(fields, name, '\t');)
      if (!name.empty() && seen.insert(name).second) names.push_back(name);
    if (names.size() > 1) lines.push_back(std::move(names));
  }
  if (in.bad()) throw std::runtime_error("cannot read the aliases file " + path);
  return lines;
}

std::map<int64_t, int64_t> AliasMap(Db& db, const AliasLines& lines) {
  std::map<int64_t, int64_t> out;
  Stmt q(db.handle(), "SELECT id FROM players WHERE name = ? ORDER BY id LIMIT 1");
  for (const auto& names : lines) {
    std::vector<int64_t> ids;
    for (const std::string& n : names) {
      q.Bind(1, n);
      if (q.Step()) ids.push_back(q.Int(0));
      q.Reset();
    }
    if (ids.size() < 2) continue;
    for (int64_t id : ids) out[id] = ids.front();
  }
  return out;
}

}  // namespace web
