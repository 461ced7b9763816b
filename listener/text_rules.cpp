#include "text_rules.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <optional>

#include "ado.h"
#include "codepage.h"
#include "com.h"
#include "numbers.h"
#include "rounding.h"

namespace tallyhost {

Failure CurrentFailure() {
  try {
    throw;
  } catch (const Failure& e) {
    return e;
  } catch (const ado::Error& e) {
    return Failure(e.Number(), e.Description());
  } catch (const com::Error& e) {
    return Failure(e.Number(), e.Description());
  } catch (const std::bad_alloc&) {
    return Failure(7, "Out of memory");
  } catch (const std::exception& e) {
    return Failure(com::E_FAIL, e.what());
  } catch (...) {
    return Failure(com::E_FAIL, "Unknown failure");
  }
}

double NumberPrefix(const std::string& text) { return numbers::Leading(text); }

int32_t RoundToInt32(double value) {
  double r = rounding::RoundHalfEven(value);
  if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
    throw Failure(kErrOverflow, "Overflow");
  return static_cast<int32_t>(r);
}

int16_t RoundToInt16(double value) {
  double r = rounding::RoundHalfEven(value);
  if (!(r >= std::numeric_limits<int16_t>::min() && r <= std::numeric_limits<int16_t>::max()))
    throw Failure(kErrOverflow, "Overflow");
  return static_cast<int16_t>(r);
}

float ParseSingle(const std::string& text) {
  std::optional<double> v = numbers::Whole(text, " \t");
  if (!v) throw Failure(kErrTypeMismatch, "Type mismatch");
  if (!std::isfinite(*v) || std::fabs(*v) > std::numeric_limits<float>::max())
    throw Failure(kErrOverflow, "Overflow");
  return static_cast<float>(*v);
}

std::string FormatNumber(double value) {
  if (value == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string s = buf;
  if (s.find('e') != std::string::npos) {
    std::snprintf(buf, sizeof buf, "%.15f", value);
    s = buf;
    if (s.find('.') != std::string::npos) {
      while (!s.empty() && s.back() == '0') s.pop_back();
      if (!s.empty() && s.back() == '.') s.pop_back();
    }
  }
  return s;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string DisplayForm(const std::string& connection_string) {
  return ado::RemoveSetting(connection_string, ";Persist Security Info=");
}

std::string ReducedDatabaseText(const std::string& connection_string) {
  return ado::WithoutPassword(connection_string);
}

std::string DatabasePath(const std::string& connection_string) {
  const std::string key = ";Data Source=";
  size_t p = connection_string.find(key);
  if (p == std::string::npos) return "";
  size_t start = p + key.size();
  size_t q = connection_string.find(';', p + 1);
  if (q == std::string::npos || q < start) return connection_string.substr(start);
  return connection_string.substr(start, q - start);
}

namespace {
const char kPersist[] = ";Persist Security Info=";

// Just after the Persist Security Info setting: before the next ";" that
// follows its own leading ";", or the end of the text.
size_t InsertionPoint(const std::string& s) {
  size_t p = s.find(kPersist);
  size_t q = s.find(';', p + 1);
  return q == std::string::npos ? s.size() : q;
}

void SetOrInsert(std::string* s, const std::string& setting, const std::string& value) {
  size_t p = s->find(setting);
  if (p != std::string::npos) {
    size_t start = p + setting.size();
    size_t q = s->find(';', start);
    size_t end = q == std::string::npos ? s->size() : q;
    s->replace(start, end - start, value);
  } else {
    s->insert(InsertionPoint(*s), setting + value);
  }
}
}  // namespace

std::string LogonTestString(const std::string& connection_string, const std::string& user,
                            const std::string& password) {
  std::string s = connection_string;
  if (s.find(kPersist) == std::string::npos) {
    size_t semi = s.find(';');
    const std::string setting = ";Persist Security Info=False";
    if (semi != std::string::npos) s.insert(semi, setting);
    else s += setting;
  }
  if (!user.empty()) SetOrInsert(&s, ";User ID=", user);
  if (!password.empty()) SetOrInsert(&s, ";User Password=", password);
  return s;
}

std::string Printable(const std::string& text) {
  const std::string utf8 = codepage::NarrowToUtf8(text);
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    unsigned control = 0x100;   // none
    if (c < 0x20 || c == 0x7f) {
      control = c;
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
      control = static_cast<unsigned char>(utf8[++i]);   // U+0080 to U+009F
    }
    if (control == 0x100) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", control);
      out += buf;
    }
  }
  return out;
}

}  // namespace tallyhost
