#include "http_rules.h"

namespace http_rules {

Refusal RefusedBeforeBody(const std::string& method, const std::string& content_length, bool transfer_encoding) {
  if (method != "GET" && method != "HEAD") return {405, "only GET and HEAD are served", "GET, HEAD"};
  const bool body = transfer_encoding || content_length.find_first_not_of('0') != std::string::npos;
  if (body) return {413, "a request body is not taken", ""};
  return {};
}

}  // namespace http_rules
