// live: pages that keep themselves up to date while they are open (the
// servers page, a running game's page; any page Frame'd with live = true).
//
// Such a page loads /live.js, a small script served from here. Once a
// second it asks /api/stamp for the summaries' stamp, a short text that
// changes whenever a refresh pass stores something the pages show; when the
// stamp differs from the page's own (given in its head, taken in the same
// snapshot as its figures), it fetches the page again and puts the new
// <main> in place of the old one. A page that is no longer live (a game
// that has ended) stops asking. Without scripts the page is as any other.
//
// Polling rather than server-sent events: every open connection holds one
// of the HTTP front's workers and counts against the per-client limit (16
// connections), so an event stream per open tab would let a few tabs, or one
// office behind one address, use up the workers or the limit. A poll takes a
// worker for the time of one small query, and /api/stamp answers with
// "Connection: close" so that no idle keep-alive connection is left holding
// a worker between two polls. Polling each second keeps an update within
// the refresh period plus a second of the datagram that caused it.
//
// Thread-safe: each request opens the summaries read-only for itself.
#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace web {

class Db;

// The stamp of the summaries as a reader sees them in its snapshot.
std::string LiveStamp(Db& db);

// `page` with the stamp in its head when it loads /live.js; as it is else.
std::string StampPage(const std::string& page, const std::string& stamp);

// /live.js and /api/stamp, on the summaries file `derived_path`.
void InstallLive(httplib::Server& server, const std::string& derived_path);

}  // namespace web
