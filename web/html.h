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
std::string Frame(const std::string& title, const std::string& body);

}  // namespace web
