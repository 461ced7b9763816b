// Reading and editing connection strings: ConnectionSetting,
// ConnectionSettings, RemoveSetting, WithoutPassword (ado.h).
#include <string_view>

#include "ado.h"
#include "jet_sql.h"

namespace ado {
namespace {

std::string_view TrimView(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return s.substr(s.size());   // empty, still inside the text
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// One "Name=value" setting as it stands in the text. `key` is trimmed;
// `text` is the value trimmed or, when `quote` is set, the text between the
// quotes with each quote inside still doubled. `begin` and `end` span the
// setting, `end` being the position of the ";" that closes it or the
// text's length.
struct Setting {
  std::string_view key;
  std::string_view text;
  char quote = 0;
  size_t begin = 0, end = 0;
};

// A setting's value from its text: a doubled quote inside quotes read as one.
std::string Unquoted(std::string_view text, char quote) {
  if (!quote) return std::string(text);
  std::string value;
  value.reserve(text.size());
  for (size_t k = 0; k < text.size(); ++k) {
    value += text[k];
    if (text[k] == quote) ++k;   // inside the quotes a quote comes doubled
  }
  return value;
}

// Walks the settings of a connection string in order, calling visit(setting)
// for each; a quoted value may hold ";". Text without "=" up to a ";" is no
// setting; text after a closing quote up to the next ";" is ignored. A visit
// returning true stops the walk. Allocates nothing.
template <class Visit>
void ForEachSetting(std::string_view cs, Visit&& visit) {
  size_t i = 0;
  const size_t n = cs.size();
  while (i < n) {
    const size_t eq = cs.find('=', i);
    size_t semi = cs.find(';', i);
    if (eq == std::string_view::npos) break;
    if (semi != std::string_view::npos && semi < eq) {
      i = semi + 1;
      continue;
    }
    Setting s;
    s.key = TrimView(cs.substr(i, eq - i));
    size_t j = eq + 1;
    while (j < n && (cs[j] == ' ' || cs[j] == '\t')) ++j;
    if (j < n && (cs[j] == '"' || cs[j] == '\'')) {
      s.quote = cs[j++];
      const size_t first = j;
      // The closing quote is the first one that is not doubled.
      while (j < n && !(cs[j] == s.quote && (j + 1 >= n || cs[j + 1] != s.quote))) j += cs[j] == s.quote ? 2 : 1;
      s.text = cs.substr(first, j - first);
      if (j < n) ++j;
      semi = cs.find(';', j);
    } else {
      semi = cs.find(';', j);
      s.text = TrimView(cs.substr(j, (semi == std::string_view::npos ? n : semi) - j));
    }
    s.begin = i;
    s.end = semi == std::string_view::npos ? n : semi;
    if (visit(s)) return;
    i = s.end + 1;
  }
}

}  // namespace

std::string ConnectionSetting(const std::string& cs, const std::string& name) {
  std::string found;
  ForEachSetting(cs, [&](const Setting& s) {
    if (!jet::EqualsNoCase(s.key, name)) return false;
    found = Unquoted(s.text, s.quote);
    return true;
  });
  return found;
}

ConnectionSettings::ConnectionSettings(std::string connection_string) : text_(std::move(connection_string)) {
  entries_.reserve(16);
  ForEachSetting(text_, [&](const Setting& s) {
    entries_.push_back({static_cast<size_t>(s.key.data() - text_.data()), s.key.size(),
                        static_cast<size_t>(s.text.data() - text_.data()), s.text.size(), s.quote});
    return false;
  });
}

std::string ConnectionSettings::Get(std::string_view name) const {
  const std::string_view text = text_;
  for (const Entry& e : entries_)
    if (jet::EqualsNoCase(text.substr(e.key, e.key_size), name))
      return Unquoted(text.substr(e.text, e.text_size), e.quote);
  return {};
}

std::string RemoveSetting(const std::string& cs, const std::string& setting) {
  size_t p = cs.find(setting);
  if (p == std::string::npos) return cs;
  const size_t q = cs.find(';', p + 1);
  std::string out;
  out.reserve(cs.size());
  out.append(cs, 0, p + 1);
  if (q != std::string::npos) out.append(cs, q + 1);
  return out;
}

std::string WithoutPassword(const std::string& cs) {
  std::string logged = RemoveSetting(RemoveSetting(cs, ";User Password="), ";Persist Security Info=");
  // Passwords the providers also take (another letter case, blanks around
  // the name, the "Password" alias) go as well, each with the ";" that
  // closes it, so that no password reaches a log.
  for (bool removed = true; removed;) {
    removed = false;
    size_t begin = 0, end = 0;
    ForEachSetting(logged, [&](const Setting& s) {
      if (!jet::EqualsNoCase(s.key, "User Password") && !jet::EqualsNoCase(s.key, "Password")) return false;
      begin = s.begin;
      end = s.end;
      removed = true;
      return true;
    });
    if (removed) logged.erase(begin, end < logged.size() ? end + 1 - begin : end - begin);
  }
  return logged;
}

}  // namespace ado
