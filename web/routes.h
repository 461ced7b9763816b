// routes: tallyweb's HTTP surface. GET and HEAD only (other methods: 405);
// each page and its /api/ twin read the derived file through figures.h.
// Parameters are checked before use: unknown names, malformed numbers,
// unknown sort columns or orders and overlong texts give 400; unknown
// records and pages 404. Every response forbids scripts and outside loads.
#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace web {

void InstallRoutes(httplib::Server& server, const std::string& derived_path);

}  // namespace web
