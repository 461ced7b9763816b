// Fuzz target: the allow-list reader and the address and network readers.
// The input is an allow-list file; each of its words (as blanks of any kind
// separate them) is also read as an address and as a network, and the first
// 16 addresses read are matched against every network of the list (every
// pair of a long input would cost the square of its words and find nothing
// a few pairs do not).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "sender_gate.h"

namespace {

// The blanks of the C locale (blank, TAB, LF, VT, FF, CR), one table
// look-up a byte.
constexpr std::array<bool, 256> kBlank = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t[c] = true;
  return t;
}();
bool Blank(char c) { return kBlank[static_cast<unsigned char>(c)]; }

constexpr size_t kAddressesMatched = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const tallyhost::AllowList list = tallyhost::ParseAllowList(text, "fuzz.allow");
  std::array<std::array<uint8_t, 16>, kAddressesMatched> addresses;
  size_t found = 0;
  for (size_t i = 0; i < size;) {
    if (Blank(text[i])) {
      ++i;
      continue;
    }
    const size_t begin = i;
    while (i < size && !Blank(text[i])) ++i;
    const std::string_view w(text.data() + begin, i - begin);
    tallyhost::Network n;
    const bool network = tallyhost::ParseNetwork(w, &n);
    std::array<uint8_t, 16> a{};
    bool address;
    if (w.find('/') == std::string_view::npos) {
      // Reading the network has read the whole word as an address already.
      address = network;
      a = n.bytes;
    } else {
      address = tallyhost::ParseAddress(w, &a);
    }
    if (address && found < kAddressesMatched) addresses[found++] = a;
  }
  for (const auto& [port, networks] : list.ports)
    for (const tallyhost::Network& n : networks)
      for (size_t k = 0; k < found; ++k) (void)n.Contains(addresses[k]);
  return 0;
}
