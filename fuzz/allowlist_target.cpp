// Fuzz target: the allow-list reader and the address and network readers.
// The input is an allow-list file; each of its words (as blanks of any kind
// separate them) is also read as an address and as a network, and the first
// 16 addresses read are matched against every network of the list (every
// pair of a long input would cost the square of its words and find nothing
// a few pairs do not).
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sender_gate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const tallyhost::AllowList list = tallyhost::ParseAllowList(text, "fuzz.allow");
  std::vector<std::array<uint8_t, 16>> addresses;
  const std::string_view all = text;
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  for (size_t i = all.find_first_not_of(kBlanks); i != std::string_view::npos; i = all.find_first_not_of(kBlanks, i)) {
    const size_t end = std::min(all.find_first_of(kBlanks, i), all.size());
    const std::string_view w = all.substr(i, end - i);
    i = end;
    std::array<uint8_t, 16> a{};
    if (tallyhost::ParseAddress(w, &a)) addresses.push_back(a);
    tallyhost::Network n;
    (void)tallyhost::ParseNetwork(w, &n);
  }
  for (const auto& [port, networks] : list.ports)
    for (const tallyhost::Network& n : networks)
      for (size_t k = 0; k < std::min<size_t>(addresses.size(), 16); ++k) (void)n.Contains(addresses[k]);
  return 0;
}
