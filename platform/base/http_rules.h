// The rule both HTTP servers (the site, the listener's metrics) apply to a
// request once its head is read and before its body is: they serve GET and
// HEAD without a body, and refuse anything else unread. Pure; thread-safe.
#pragma once

#include <string>

namespace http_rules {

struct Refusal {
  int status = 0;      // 0: serve the request; else 405 (another method) or 413 (a body)
  std::string why;     // the reason to show
  std::string allow;   // the Allow header to send, when not empty
};

// `content_length`: the Content-Length header's value ("" when absent);
// `transfer_encoding`: whether the request has a Transfer-Encoding header.
Refusal RefusedBeforeBody(const std::string& method, const std::string& content_length, bool transfer_encoding);

}  // namespace http_rules
