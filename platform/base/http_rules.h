// The rule both HTTP servers (the site, the listener's metrics) apply to a
// request once its head is read and before its body is: they serve GET and
// HEAD without a body, and refuse anything else unread. Pure; thread-safe.
#pragma once

#include <string>

namespace http_rules {

// 0 when the request may be served; else the status to refuse it with
// (405: another method, 413: a body) and, in `why`, the reason to show.
// `has_body`: a Content-Length other than 0, or a Transfer-Encoding.
int RefusedBeforeBody(const std::string& method, bool has_body, std::string* why);

}  // namespace http_rules
