#include "pages.h"

#include <algorithm>
#include <cstdio>

#include "chart.h"
#include "html.h"

namespace web {
namespace {

using json = nlohmann::json;

std::string T(const json& v) {
  if (v.is_string()) return Escape(v.get<std::string>());
  if (v.is_null()) return "";
  if (v.is_number_float()) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v.get<double>());
    return b;
  }
  return Escape(v.dump());
}

std::string Id(const json& v) { return std::to_string(v.get<int64_t>()); }

std::string PlayerLink(const json& p) { return "<a href=\"/players/" + Id(p["record"]) + "\">" + T(p["name"]) + "</a>"; }
std::string GameLink(const json& g) { return "<a href=\"/games/" + Id(g) + "\">" + Id(g) + "</a>"; }
std::string ServerLink(const json& s) {
  return s.is_null() ? std::string() : "<a href=\"/servers/" + Id(s["record"]) + "\">" + T(s["name"]) + "</a>";
}
std::string Num(const json& v) { return "<td class=\"n\">" + T(v) + "</td>"; }
std::string WeaponLink(const json& w) { return "<a href=\"/weapons/" + Id(w["record"]) + "\">" + T(w["name"]) + "</a>"; }
// A map by record and name; the name alone when there is no record.
std::string MapLink(const json& record, const json& name) {
  if (!record.is_number_integer() || record.get<int64_t>() <= 0) return T(name);
  return "<a href=\"/maps/" + Id(record) + "\">" + T(name) + "</a>";
}

// A list of games, newest first.
std::string GamesTable(const json& games) {
  std::string b = "<table><tr><th>Game</th><th>Server</th><th>Time</th><th>End</th><th>Map</th><th>Players</th>"
                  "<th>Score rows</th></tr>";
  for (const json& g : games)
    b += "<tr><td>" + GameLink(g["record"]) + "</td><td>" + ServerLink(g["server"]) + "</td><td>" + T(g["time"]) +
         "</td><td>" + T(g["end"]) + "</td><td>" + MapLink(g["map_record"], g["map"]) + "</td>" + Num(g["players"]) +
         Num(g["score_rows"]) + "</tr>";
  return b + "</table>";
}

std::string TopPlayers(const json& list, bool team_kills) {
  std::string b = "<table><tr><th>Player</th><th>Frags</th>" + std::string(team_kills ? "<th>Team kills</th>" : "") +
                  "<th>Deaths</th><th>Frags per death</th><th>Games</th></tr>";
  for (const json& p : list)
    b += "<tr><td>" + PlayerLink(p) + "</td>" + Num(p["frags"]) + (team_kills ? Num(p["team_kills"]) : "") +
         Num(p["deaths"]) + Num(p["frags_per_death"]) + Num(p["games"]) + "</tr>";
  return b + "</table>";
}

std::string Pager(const std::string& base, const json& j) {
  const int64_t page = j["page"], pages = j["pages"];
  std::string out = "<p class=\"pager\">Page " + std::to_string(page) + " of " + std::to_string(pages) + " ";
  if (page > 1) out += "<a href=\"" + base + "page=" + std::to_string(page - 1) + "\">previous</a>";
  if (page < pages) out += "<a href=\"" + base + "page=" + std::to_string(page + 1) + "\">next</a>";
  return out + "</p>";
}

// Table header cells that sort the list by their column.
std::string SortHeads(const std::string& base, const json& j, const std::vector<std::pair<std::string, std::string>>& cols) {
  std::string out = "<tr>";
  for (const auto& [key, title] : cols) {
    if (key.empty()) {
      out += "<th>" + Escape(title) + "</th>";
      continue;
    }
    const bool current = j["sort"] == key;
    const std::string next = current && j["order"] == "desc" ? "asc" : (current ? "desc" : (key == "name" ? "asc" : "desc"));
    out += "<th><a href=\"" + base + "sort=" + key + "&amp;order=" + next + "\">" + Escape(title) + "</a>" +
           (current ? (j["order"] == "desc" ? " &#9660;" : " &#9650;") : "") + "</th>";
  }
  return out + "</tr>";
}

}  // namespace

std::string ServersPage(const json& j) {
  std::string b = "<table><tr><th>Server</th><th>Address</th><th>Port</th><th>Packet number</th><th>First seen</th>"
                  "<th>Online</th><th>Games</th><th>Current game</th><th>Map</th><th>Players</th></tr>";
  for (const json& s : j["servers"]) {
    b += "<tr><td>" + ServerLink(s) + "</td><td>" + T(s["ip"]) + "</td><td>" + T(s["port"]) + "</td>" +
         Num(s["packet_number"]) + "<td>" + T(s["first_seen"]) + "</td><td>" + (s["online"] == true ? "online" : "") +
         "</td>" + Num(s["games"]);
    const json& c = s["current_game"];
    if (c.is_null()) {
      b += "<td>none</td><td></td><td></td>";
    } else {
      std::string players;
      for (const json& p : c["players"]) players += (players.empty() ? "" : ", ") + PlayerLink(p);
      b += "<td>" + GameLink(c["record"]) + "</td><td>" + T(c["map"]) + "</td><td>" + players + "</td>";
    }
    b += "</tr>";
  }
  return Frame("Servers", b + "</table>", true);
}

std::string GamesPage(const json& j) {
  std::string base = "/games?";
  std::string title = "Games";
  if (!j["server"].is_null()) {
    base += "server=" + Id(j["server"]["record"]) + "&amp;";
    title = "Games of " + j["server"]["name"].get<std::string>();
  }
  std::string b = "<p>" + T(j["total"]) + " games, newest first.</p>" + GamesTable(j["games"]);
  return Frame(title, b + Pager(base, j));
}

std::string GamePage(const json& j) {
  std::string b = "<p>Server " + ServerLink(j["server"]) + ", start " + T(j["time"]) + ", end " + T(j["end"]) +
                  ", map " + MapLink(j["map_record"], j["map"]) + ", " + T(j["players"]) + " players, " + T(j["score_rows"]) +
                  " score rows. Log version " + T(j["stdlog_ver"]) + ", patch " + T(j["patch_name"]) + ", flags " +
                  T(j["flags"]) + ".</p>";
  std::vector<std::string> types;
  for (const json& p : j["scoreboard"])
    for (auto it = p["types"].begin(); it != p["types"].end(); ++it)
      if (std::find(types.begin(), types.end(), it.key()) == types.end()) types.push_back(it.key());
  std::sort(types.begin(), types.end());
  b += "<h2>Scoreboard</h2><table><tr><th>Player</th><th>Team</th><th>Frags</th><th>Team kills</th><th>Deaths</th>"
       "<th>Suicides</th><th>Score</th><th>Best streak</th>";
  for (const std::string& t : types) b += "<th>" + Escape(t) + "</th>";
  b += "</tr>";
  for (const json& p : j["scoreboard"]) {
    std::string teams;
    for (const json& t : p["teams"]) teams += (teams.empty() ? "" : ", ") + T(t);
    b += "<tr><td>" + PlayerLink(p) + "</td><td>" + teams + "</td>" + Num(p["frags"]) + Num(p["team_kills"]) +
         Num(p["deaths"]) + Num(p["suicides"]) + Num(p["score"]) + Num(p["best_streak"]);
    for (const std::string& t : types) b += Num(p["types"].contains(t) ? p["types"][t] : json(0));
    b += "</tr>";
  }
  b += "</table><h2>Weapons</h2><table><tr><th>Weapon</th><th>Frags</th><th>Suicides</th></tr>";
  for (const json& w : j["weapons"]) b += "<tr><td>" + WeaponLink(w) + "</td>" + Num(w["frags"]) + Num(w["suicides"]) + "</tr>";
  b += "</table><h2>Running score</h2>";
  std::vector<Series> series;
  for (const json& p : j["chart"]) {
    Series s{p["name"], {}};
    for (const json& pt : p["points"]) s.points.push_back({pt[0].get<double>(), pt[1].get<double>()});
    series.push_back(std::move(s));
  }
  b += StepChart(series, "seconds", "Running score");
  b += "<h2>Game variables</h2><table><tr><th>Variable</th><th>Value</th></tr>";
  for (const json& v : j["variables"]) b += "<tr><td>" + T(v["name"]) + "</td><td>" + T(v["value"]) + "</td></tr>";
  b += "</table><h2>Player variables</h2><table><tr><th>Player</th><th>Variable</th><th>Value</th></tr>";
  for (const json& p : j["player_variables"])
    for (const json& v : p["variables"])
      b += "<tr><td>" + PlayerLink(p) + "</td><td>" + T(v["name"]) + "</td><td>" + T(v["value"]) + "</td></tr>";
  return Frame("Game " + Id(j["record"]), b + "</table>", j["running"] == true);
}

std::string PlayersPage(const json& j) {
  const std::string q = j["q"];
  std::string b = "<form method=\"get\" action=\"/players\"><label>Name <input name=\"q\" value=\"" + Escape(q) +
                  "\" maxlength=\"50\"></label> <button>Search</button></form>";
  const std::string qpart = q.empty() ? "" : "q=" + Escape(UrlEncode(q)) + "&amp;";
  b += "<p>" + T(j["total"]) + " players.</p><table>" +
       SortHeads("/players?" + qpart, j,
                 {{"", "#"}, {"name", "Player"}, {"frags", "Frags"}, {"team_kills", "Team kills"}, {"deaths", "Deaths"},
                  {"suicides", "Suicides"},
                  {"score", "Score"}, {"fpd", "Frags per death"}, {"games", "Games"}, {"last_seen", "Last seen"},
                  {"rating", "Rating"}});
  int64_t rank = (j["page"].get<int64_t>() - 1) * 50;
  for (const json& p : j["players"])
    b += "<tr><td class=\"n\">" + std::to_string(++rank) + "</td><td>" + PlayerLink(p) + "</td>" + Num(p["frags"]) +
         Num(p["team_kills"]) + Num(p["deaths"]) + Num(p["suicides"]) + Num(p["score"]) + Num(p["frags_per_death"]) + Num(p["games"]) +
         "<td>" + T(p["last_seen"]) + "</td>" + Num(p["rating"]) + "</tr>";
  const std::string base = "/players?" + qpart + "sort=" + Escape(UrlEncode(j["sort"])) + "&amp;order=" +
                           Escape(UrlEncode(j["order"])) + "&amp;";
  return Frame("Players", b + "</table>" + Pager(base, j));
}

std::string PlayerPage(const json& j) {
  std::string b = "<table><tr><th>Frags</th><th>Team kills</th><th>Deaths</th><th>Suicides</th><th>Score</th>"
                  "<th>Frags per death</th><th>Best streak</th><th>Games</th><th>First seen</th><th>Last seen</th>"
                  "<th>Rating</th></tr><tr>" +
                  Num(j["frags"]) + Num(j["team_kills"]) + Num(j["deaths"]) + Num(j["suicides"]) + Num(j["score"]) +
                  Num(j["frags_per_death"]) + Num(j["best_streak"]) + Num(j["games"]) + "<td>" + T(j["first_seen"]) + "</td><td>" + T(j["last_seen"]) + "</td>" + Num(j["rating"]) + "</tr></table>";
  b += "<h2>Weapons</h2><table><tr><th>Weapon</th><th>Frags</th><th>Deaths</th><th>Suicides</th></tr>";
  for (const json& w : j["weapons"])
    b += "<tr><td>" + WeaponLink(w) + "</td>" + Num(w["frags"]) + Num(w["deaths"]) + Num(w["suicides"]) + "</tr>";
  b += "</table><h2>Score types</h2><table><tr><th>Type</th><th>Score rows</th><th>Score</th></tr>";
  for (const json& t : j["types"]) b += "<tr><td>" + T(t["name"]) + "</td>" + Num(t["score_rows"]) + Num(t["score"]) + "</tr>";
  b += "</table><h2>Beaten most</h2><table><tr><th>Player</th><th>Frags</th></tr>";
  for (const json& v : j["beaten_most"]) b += "<tr><td>" + PlayerLink(v) + "</td>" + Num(v["frags"]) + "</tr>";
  b += "</table><h2>Beaten by most</h2><table><tr><th>Player</th><th>Frags</th></tr>";
  for (const json& v : j["beaten_by_most"]) b += "<tr><td>" + PlayerLink(v) + "</td>" + Num(v["frags"]) + "</tr>";
  b += "</table><h2>Names</h2>";
  if (!j["alias_of"].is_null()) b += "<p>Another name of " + PlayerLink(j["alias_of"]) + ".</p>";
  if (j["names"]["used"].size() > 1) {
    std::string used;
    for (const json& n : j["names"]["used"]) used += (used.empty() ? "" : ", ") + PlayerLink(n);
    b += "<p>Names used: " + used + "</p>";
  }
  b += "<ul>";
  for (const json& r : j["names"]["renamed_to"])
    b += "<li>renamed to " + PlayerLink(r) + " in game " + GameLink(r["game"]) + "</li>";
  for (const json& r : j["names"]["renamed_from"])
    b += "<li>renamed from " + PlayerLink(r) + " in game " + GameLink(r["game"]) + "</li>";
  for (const json& n : j["names"]["netnames"]) b += "<li>netname " + T(n) + "</li>";
  b += "</ul><h2>Frags per day</h2>";
  std::vector<std::pair<std::string, double>> bars;
  for (const json& d : j["frags_per_day"]) bars.push_back({d["day"], d["frags"].get<double>()});
  b += BarChart(bars, "Frags per day");
  b += "<h2>Rating</h2>";
  Series rating{"rating", {}};
  for (const json& h : j["rating_history"])
    rating.points.push_back({static_cast<double>(rating.points.size() + 1), h["rating"].get<double>()});
  b += StepChart({rating}, "games rated", "Rating after each game");
  b += "<h2>Games played</h2><table><tr><th>Game</th><th>Time</th><th>End</th><th>Map</th><th>Frags</th>"
       "<th>Team kills</th><th>Deaths</th><th>Suicides</th><th>Score</th><th>Best streak</th></tr>";
  for (const json& g : j["games_played"])
    b += "<tr><td>" + GameLink(g["record"]) + "</td><td>" + T(g["time"]) + "</td><td>" + T(g["end"]) + "</td><td>" +
         MapLink(g["map_record"], g["map"]) + "</td>" + Num(g["frags"]) + Num(g["team_kills"]) + Num(g["deaths"]) +
         Num(g["suicides"]) + Num(g["score"]) + Num(g["best_streak"]) + "</tr>";
  return Frame("Player " + j["name"].get<std::string>(), b + "</table>");
}

std::string WeaponsPage(const json& j) {
  std::string b = "<table>" + SortHeads("/weapons?", j, {{"name", "Weapon"}, {"frags", "Frags"}, {"suicides", "Suicides"},
                                                          {"score_rows", "Score rows"}, {"score", "Score"}});
  for (const json& w : j["weapons"])
    b += "<tr><td>" + WeaponLink(w) + "</td>" + Num(w["frags"]) + Num(w["suicides"]) + Num(w["score_rows"]) + Num(w["score"]) + "</tr>";
  return Frame("Weapons", b + "</table>");
}

std::string TypesPage(const json& j) {
  std::string b = "<table>" + SortHeads("/types?", j, {{"name", "Score type"}, {"score_rows", "Score rows"}, {"score", "Score"}});
  for (const json& t : j["types"]) b += "<tr><td>" + T(t["name"]) + "</td>" + Num(t["score_rows"]) + Num(t["score"]) + "</tr>";
  return Frame("Score types", b + "</table>");
}

std::string MapsPage(const json& j) {
  std::string b = "<table>" + SortHeads("/maps?", j, {{"name", "Map"}, {"games", "Games"}, {"score_rows", "Score rows"}});
  for (const json& m : j["maps"]) b += "<tr><td>" + MapLink(m["record"], m["name"]) + "</td>" + Num(m["games"]) + Num(m["score_rows"]) + "</tr>";
  return Frame("Maps", b + "</table>");
}

std::string ServerPage(const json& j) {
  std::string b = "<p>Address " + T(j["ip"]) + ", port " + T(j["port"]) + ", packet number " + T(j["packet_number"]) +
                  ", first seen " + T(j["first_seen"]) + ", " + T(j["games"]) + " games. " +
                  (j["online"] == true ? "<strong>Online</strong>" : std::string("Offline")) +
                  (j["last_datagram"].is_null() ? std::string() : ", last datagram " + T(j["last_datagram"])) + ".</p>";
  const json& c = j["current_game"];
  b += "<h2>Current game</h2>";
  if (c.is_null()) {
    b += "<p>none</p>";
  } else {
    b += "<p>Game " + GameLink(c["record"]) + " on " + MapLink(c["map_record"], c["map"]) + "</p><table><tr><th>Player</th>"
         "<th>Frags</th><th>Team kills</th><th>Deaths</th><th>Suicides</th><th>Score</th></tr>";
    for (const json& p : c["players"])
      b += "<tr><td>" + PlayerLink(p) + "</td>" + Num(p["frags"]) + Num(p["team_kills"]) + Num(p["deaths"]) +
           Num(p["suicides"]) + Num(p["score"]) + "</tr>";
    b += "</table>";
  }
  b += "<h2>Top players</h2><table><tr><th>Player</th><th>Rating</th><th>Games here</th></tr>";
  for (const json& p : j["top_players"]) b += "<tr><td>" + PlayerLink(p) + "</td>" + Num(p["rating"]) + Num(p["games"]) + "</tr>";
  b += "</table><h2>Maps</h2><table><tr><th>Map</th><th>Games</th></tr>";
  for (const json& m : j["maps"]) b += "<tr><td>" + MapLink(m["record"], m["name"]) + "</td>" + Num(m["games"]) + "</tr>";
  b += "</table><h2>Games</h2><p><a href=\"/games?server=" + Id(j["record"]) + "\">All games of this server</a></p>" +
       GamesTable(j["games_listed"]);
  return Frame("Server " + j["name"].get<std::string>(), b, true);
}

std::string MapPage(const json& j) {
  std::string b = "<table><tr><th>Games</th><th>Score rows</th><th>Frags</th><th>Team kills</th><th>Suicides</th></tr><tr>" +
                  Num(j["games"]) + Num(j["score_rows"]) + Num(j["frags"]) + Num(j["team_kills"]) + Num(j["suicides"]) +
                  "</tr></table><h2>Top players</h2>" + TopPlayers(j["top_players"], true) + "<h2>Games</h2>" +
                  GamesTable(j["games_listed"]);
  return Frame("Map " + j["name"].get<std::string>(), b);
}

std::string WeaponPage(const json& j) {
  std::string b = "<table><tr><th>Frags</th><th>Suicides</th><th>Score rows</th><th>Score</th><th>Games</th></tr><tr>" +
                  Num(j["frags"]) + Num(j["suicides"]) + Num(j["score_rows"]) + Num(j["score"]) + Num(j["games"]) +
                  "</tr></table><h2>Top players</h2>" + TopPlayers(j["top_players"], false) + "<h2>Games</h2>" +
                  GamesTable(j["games_listed"]);
  return Frame("Weapon " + j["name"].get<std::string>(), b);
}

std::string AwardsPage(const json& j) {
  std::string b;
  for (const auto& [key, title] : {std::pair<std::string, std::string>{"day", "The last day"}, {"week", "The last week"}}) {
    const json& w = j[key];
    b += "<h2>" + title + "</h2><table><tr><th>Award</th><th>Player</th><th>Value</th></tr>";
    for (const auto& [award, name] : {std::pair<std::string, std::string>{"most_frags", "Most frags"},
                                      {"best_frags_per_death", "Best frags per death (10 deaths or more)"},
                                      {"longest_streak", "Longest kill streak"},
                                      {"most_team_kills", "Most team kills"}}) {
      const json& a = w[award];
      b += "<tr><td>" + Escape(name) + "</td>" +
           (a.is_null() ? std::string("<td>nobody</td><td></td>") : "<td>" + PlayerLink(a) + "</td>" + Num(a["value"])) + "</tr>";
    }
    b += "</table><table><tr><th>Weapon</th><th>Top player</th><th>Frags</th></tr>";
    for (const json& t : w["top_per_weapon"])
      b += "<tr><td>" + WeaponLink(t["weapon"]) + "</td><td>" + PlayerLink(t["player"]) + "</td>" + Num(t["frags"]) + "</tr>";
    b += "</table>";
  }
  return Frame("Awards", b);
}

std::string ErrorPage(int status, const std::string& message) {
  return Frame(std::to_string(status) + " " + message, "<p><a href=\"/servers\">Servers</a></p>");
}

}  // namespace web
