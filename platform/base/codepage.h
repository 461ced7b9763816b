// The narrow code page of the system is ISO-8859-1: byte n is character
// U+00nn. These helpers convert at the boundary to UTF-8 backends.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace codepage {

bool IsValidUtf8(const std::string& s);
// A text that is already valid UTF-8 passes unchanged; any other is read as
// ISO-8859-1.
std::string NarrowToUtf8(const std::string& narrow);
// Characters above U+00FF become '?'; invalid sequences are taken byte by byte.
std::string Utf8ToNarrow(const std::string& utf8);
// The number of characters of a UTF-8 text (its bytes that do not continue
// a character).
size_t Utf8Length(std::string_view utf8);

}  // namespace codepage
