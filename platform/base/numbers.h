// numbers: reading numbers out of text, the one reader the programs share.
//
// The grammar of a plain decimal number: an optional sign, digits with an
// optional decimal part (at least one digit in all), then an optional
// exponent ("e" or "E", an optional sign, at least one digit). Values are
// read with the C library in the "C" locale's notation ("." as the decimal
// point); magnitudes beyond a double read as infinity.
//
// Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string_view>

namespace numbers {

// The number at the start of a text: blanks and tabs skipped, then the
// longest plain decimal number there (an exponent without digits is left
// out). 0 when the text has no digits there.
double Leading(std::string_view text);

// The whole text as one plain decimal number with any of `blanks` around it;
// nullopt when it is anything else (empty, other characters, two numbers).
std::optional<double> Whole(std::string_view text, std::string_view blanks = " \t");

}  // namespace numbers
