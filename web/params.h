// params: the readers of a request's query parameters, shared by every
// route. Each refuses what it cannot take with BadRequest (figures.h), whose
// text names the parameter; none of them trusts the request.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "figures.h"

namespace httplib {
struct Request;
}

namespace web {

// The parameter as a whole number from 1 to 2147483647; `fallback` when it
// is not given.
int64_t Number(const httplib::Request& req, const std::string& name, int64_t fallback);
// The parameter as given; `fallback` when it is not given.
std::string Text(const httplib::Request& req, const std::string& name, const std::string& fallback);
// Refuses a parameter not in `allowed`, one given twice and one holding NUL.
void OnlyParams(const httplib::Request& req, const std::set<std::string>& allowed);
// The record number a route's pattern matched as its first group; NotFound
// when it is none.
int64_t PathNumber(const httplib::Request& req);
// sort and order of the weapons, types and maps lists.
ListQuery Listing(const httplib::Request& req);

}  // namespace web
