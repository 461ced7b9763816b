#include "numbers.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

namespace numbers {
namespace {

bool Digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Length of the plain decimal number at `text[from]`, 0 when there is none.
size_t NumberLength(std::string_view text, size_t from) {
  size_t i = from, n = text.size(), digits = 0;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < n && Digit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && Digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    size_t e = i + 1;
    if (e < n && (text[e] == '+' || text[e] == '-')) ++e;
    size_t exponent = e;
    while (e < n && Digit(text[e])) ++e;
    if (e > exponent) i = e;
  }
  return i - from;
}

// `number` is a plain decimal number (NumberLength). from_chars reads it
// as strtod would, only faster; it leaves magnitudes beyond a double
// (infinity, or zero on underflow) to strtod, and takes no "+".
double Read(std::string_view number) {
  std::string_view digits = number;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc() && end == digits.data() + digits.size()) return value;
  return std::strtod(std::string(number).c_str(), nullptr);
}

}  // namespace

double Leading(std::string_view text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return 0;
  size_t length = NumberLength(text, start);
  return length == 0 ? 0 : Read(text.substr(start, length));
}

std::optional<double> Whole(std::string_view text, std::string_view blanks) {
  size_t start = text.find_first_not_of(blanks);
  if (start == std::string_view::npos) return std::nullopt;
  size_t end = text.find_last_not_of(blanks) + 1;
  if (NumberLength(text, start) != end - start) return std::nullopt;
  return Read(text.substr(start, end - start));
}

}  // namespace numbers
