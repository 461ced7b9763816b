#include "html.h"

#include <httplib.h>

#include <algorithm>

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

namespace {

// Puts each <table>...</table> of `body` in a scrolling box. The body's
// texts are escaped, so every "<table" and "</table>" in it is markup.
std::string BoxTables(const std::string& body) {
  static const std::string kOpen = "<table", kClose = "</table>";
  std::string out;
  out.reserve(body.size() + 256);
  size_t at = 0;
  for (;;) {
    const size_t open = body.find(kOpen, at), close = body.find(kClose, at);
    const size_t next = std::min(open, close);
    if (next == std::string::npos) break;
    out.append(body, at, next - at);
    if (next == open) {
      out += "<div class=\"scroll\">" + kOpen;
      at = open + kOpen.size();
    } else {
      out += kClose + "</div>";
      at = close + kClose.size();
    }
  }
  out.append(body, at, std::string::npos);
  return out;
}

}  // namespace

const char* ContentSecurityPolicy() {
  return "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; script-src 'self'; connect-src 'self'";
}

std::string Frame(const std::string& title, const std::string& body, bool live) {
  // Narrow screens: the navigation wraps, tables scroll inside their box,
  // charts shrink to the width (their viewBox keeps them whole) and long
  // names break anywhere rather than widen the page.
  static const char kStyle[] =
      "body{font-family:sans-serif;margin:0;color:#222}"
      "nav{background:#234;padding:.5em 1em;display:flex;flex-wrap:wrap;gap:.3em 1.2em}"
      "nav a{color:#fff;text-decoration:none}"
      "main{padding:1em}h1,h2,p,li,label{overflow-wrap:anywhere}"
      ".scroll{overflow-x:auto;max-width:100%;margin:.5em 0 1.5em}table{border-collapse:collapse}"
      "th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}th{background:#eef}"
      "td.n{text-align:right}.pager a{margin-right:.8em}"
      "svg{background:#fafafa;border:1px solid #ccc;max-width:100%;height:auto}"
      "input{max-width:100%}"
      "h2{margin-top:1.2em}.notice{background:#fec;border:1px solid #c93;padding:.4em .8em}"
      "@media (max-width:600px){main{padding:.6em}h1{font-size:1.4em}}";
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
         Escape(title) + " - tallyweb</title><style>" + kStyle + "</style>" +
         (live ? "<script src=\"/live.js\" defer></script>" : "") +
         "</head><body><nav><a href=\"/servers\">Servers</a><a href=\"/games\">Games</a>"
         "<a href=\"/players\">Players</a><a href=\"/weapons\">Weapons</a><a href=\"/types\">Score types</a>"
         "<a href=\"/maps\">Maps</a><a href=\"/awards\">Awards</a></nav><main><h1>" +
         Escape(title) + "</h1>\n" + BoxTables(body) + "</main></body></html>\n";
}

}  // namespace web
