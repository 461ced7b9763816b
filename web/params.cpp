#include "params.h"

#include <httplib.h>

#include <charconv>

namespace web {

int64_t Number(const httplib::Request& req, const std::string& name, int64_t fallback) {
  if (!req.has_param(name.c_str())) return fallback;
  const std::string v = req.get_param_value(name.c_str());
  int64_t out = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size() || out < 1 || out > 2147483647)
    throw BadRequest(name + " must be a whole number from 1");
  return out;
}

std::string Text(const httplib::Request& req, const std::string& name, const std::string& fallback) {
  return req.has_param(name.c_str()) ? req.get_param_value(name.c_str()) : fallback;
}

void OnlyParams(const httplib::Request& req, const std::set<std::string>& allowed) {
  for (const auto& [name, value] : req.params) {
    if (!allowed.count(name)) throw BadRequest("unknown parameter");
    if (req.get_param_value_count(name.c_str()) > 1) throw BadRequest("a parameter is given twice");
    if (value.find('\0') != std::string::npos) throw BadRequest("a parameter holds a NUL character");
  }
}

int64_t PathNumber(const httplib::Request& req) {
  int64_t out = 0;
  const std::string v = req.matches[1];
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || end != v.data() + v.size()) throw NotFound("no such record");
  return out;
}

ListQuery Listing(const httplib::Request& req) {
  OnlyParams(req, {"sort", "order"});
  ListQuery q;
  q.sort = Text(req, "sort", q.sort);
  q.order = Text(req, "order", q.order);
  return q;
}

}  // namespace web
