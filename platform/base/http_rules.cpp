#include "http_rules.h"

namespace http_rules {

int RefusedBeforeBody(const std::string& method, bool has_body, std::string* why) {
  if (method != "GET" && method != "HEAD") {
    *why = "only GET and HEAD are served";
    return 405;
  }
  if (has_body) {
    *why = "a request body is not taken";
    return 413;
  }
  return 0;
}

}  // namespace http_rules
