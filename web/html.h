// html: escaping and the page frame shared by every tallyweb page.
//
// Every text from the database goes through Escape (element text and
// attribute values alike); URLs are built only from numbers and from
// parameters that UrlEncode has encoded. Pure functions; thread-safe.
#pragma once

#include <string>

namespace web {

std::string Escape(const std::string& text);
std::string UrlEncode(const std::string& text);

// The whole document: title (escaped here), the navigation and the body.
// Every table of the body is put in a box of its own that scrolls
// sideways, so that no page is wider than a narrow screen. A `live` page
// loads /live.js (live.h), which keeps its <main> up to date while it is
// open; without scripts it is an ordinary page.
std::string Frame(const std::string& title, const std::string& body, bool live = false);

// The Content-Security-Policy of every response: nothing from elsewhere, no
// inline script; scripts and fetches from this site only.
const char* ContentSecurityPolicy();

}  // namespace web
