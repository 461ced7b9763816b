// routes: tallyweb's HTTP surface. GET and HEAD only (other methods: 405);
// each page and its /api/ twin read the derived file through figures.h.
// Parameters are checked before use: unknown names, malformed numbers,
// unknown sort columns or orders and overlong texts give 400; unknown
// records and pages 404. Every response forbids inline scripts and outside
// loads (html.h); live pages load /live.js (live.h).
#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace web {

void InstallRoutes(httplib::Server& server, const std::string& derived_path);

}  // namespace web
