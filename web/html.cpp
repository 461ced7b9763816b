#include "html.h"

#include <httplib.h>

namespace web {

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(const std::string& text) { return httplib::detail::encode_query_param(text); }

std::string Frame(const std::string& title, const std::string& body) {
  static const char kStyle[] =
      "body{font-family:sans-serif;margin:0;color:#222}"
      "nav{background:#234;padding:.5em 1em}nav a{color:#fff;margin-right:1.2em;text-decoration:none}"
      "main{padding:1em}table{border-collapse:collapse;margin:.5em 0 1.5em}"
      "th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}th{background:#eef}"
      "td.n{text-align:right}.pager a{margin-right:.8em}svg{background:#fafafa;border:1px solid #ccc}"
      "h2{margin-top:1.2em}.notice{background:#fec;border:1px solid #c93;padding:.4em .8em}";
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Escape(title) +
         " - tallyweb</title><style>" + kStyle +
         "</style></head><body><nav><a href=\"/servers\">Servers</a><a href=\"/games\">Games</a>"
         "<a href=\"/players\">Players</a><a href=\"/weapons\">Weapons</a><a href=\"/types\">Score types</a>"
         "<a href=\"/maps\">Maps</a><a href=\"/awards\">Awards</a></nav><main><h1>" +
         Escape(title) + "</h1>\n" + body + "</main></body></html>\n";
}

}  // namespace web
