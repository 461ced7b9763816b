#include "datetime.h"
#include "env.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace datetime {
namespace {

// Days from 1970-01-01 for a civil date (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int* y, int* m, int* d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long yy = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

const long kZeroDateFromEpoch = DaysFromCivil(1899, 12, 30);

bool ValidDate(int y, int m, int d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  int max = kDays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) max = 29;
  return d <= max;
}

// Splits a serial into whole days and seconds of the day.
void Split(double serial, long* days, long* seconds) {
  // A serial that is no date (NaN, infinite, far outside the years 100 to
  // 9999) would overflow the conversions below: it reads as the zero date.
  if (!(std::fabs(serial) < 1e7)) serial = 0;
  double whole = std::trunc(serial);
  long secs = std::lround(std::fabs(serial - whole) * 86400.0);
  long d = static_cast<long>(whole);
  if (secs >= 86400) {   // rounding carried into the next day
    secs -= 86400;
    d += serial < 0 ? -1 : 1;
  }
  *days = d;
  *seconds = secs;
}

struct Cursor {
  const std::string& s;
  size_t i = 0;
  void Blanks() {
    while (i < s.size() && s[i] == ' ') ++i;
  }
  bool Number(int* out, int max_digits) {
    size_t start = i;
    long v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) &&
           i - start < static_cast<size_t>(max_digits)) {
      v = v * 10 + (s[i] - '0');
      ++i;
    }
    if (i == start) return false;
    *out = static_cast<int>(v);
    return true;
  }
  bool Char(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool End() const { return i == s.size(); }
};

bool ParseDate(Cursor& c, int* y, int* m, int* d) {
  size_t save = c.i;
  int a, b, e;
  if (c.Number(&a, 4) && c.i - save == 4 && c.Char('-') && c.Number(&b, 2) && c.Char('-') &&
      c.Number(&e, 2)) {
    *y = a, *m = b, *d = e;
    return ValidDate(a, b, e);
  }
  c.i = save;
  if (c.Number(&a, 2) && c.Char('/') && c.Number(&b, 2) && c.Char('/') && c.Number(&e, 4)) {
    *m = a, *d = b, *y = e;
    return ValidDate(e, a, b);
  }
  c.i = save;
  return false;
}

bool ParseTime(Cursor& c, int* h, int* mi, int* s) {
  size_t save = c.i;
  *s = 0;
  if (!c.Number(h, 2) || !c.Char(':') || !c.Number(mi, 2)) {
    c.i = save;
    return false;
  }
  if (c.Char(':') && !c.Number(s, 2)) return false;
  size_t before_blank = c.i;
  c.Blanks();
  bool am = false, pm = false;
  if (c.i + 1 < c.s.size() + 1 && c.i + 2 <= c.s.size()) {
    std::string tag = c.s.substr(c.i, 2);
    for (auto& ch : tag) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (tag == "AM") am = true;
    if (tag == "PM") pm = true;
    if (am || pm) c.i += 2;
  }
  if (!am && !pm) c.i = before_blank;
  if (am || pm) {
    if (*h < 1 || *h > 12) return false;
    if (am && *h == 12) *h = 0;
    if (pm && *h != 12) *h += 12;
  }
  return *h <= 23 && *mi <= 59 && *s <= 59;
}

}  // namespace

double FromParts(int year, int month, int day, int hour, int minute, int second) {
  long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
              kZeroDateFromEpoch;
  double frac = (hour * 3600 + minute * 60 + second) / 86400.0;
  return days >= 0 ? days + frac : days - frac;
}

void ToParts(double serial, int* year, int* month, int* day, int* hour, int* minute,
             int* second) {
  long days, secs;
  Split(serial, &days, &secs);
  CivilFromDays(days + kZeroDateFromEpoch, year, month, day);
  *hour = static_cast<int>(secs / 3600);
  *minute = static_cast<int>(secs % 3600 / 60);
  *second = static_cast<int>(secs % 60);
}

double Now() { return env::Current().LocalNow(); }

std::string FormatFull(double serial) {
  int y, m, d, h, mi, s;
  ToParts(serial, &y, &m, &d, &h, &mi, &s);
  char buf[40];
  if (y < 0 || y > 9999 || m < 0 || m > 99 || d < 0 || d > 99 || h < 0 || h > 99 || mi < 0 || mi > 99 ||
      s < 0 || s > 99) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, mi, s);
    return buf;
  }
  // Written out by hand: every log line and stored date-time comes through here.
  auto two = [](char* at, int v) {
    at[0] = static_cast<char>('0' + v / 10);
    at[1] = static_cast<char>('0' + v % 10);
  };
  two(buf, y / 100);
  two(buf + 2, y % 100);
  buf[4] = '-';
  two(buf + 5, m);
  buf[7] = '-';
  two(buf + 8, d);
  buf[10] = ' ';
  two(buf + 11, h);
  buf[13] = ':';
  two(buf + 14, mi);
  buf[16] = ':';
  two(buf + 17, s);
  return std::string(buf, 19);
}

std::string FormatGeneral(double serial) {
  long days, secs;
  Split(serial, &days, &secs);
  std::string full = FormatFull(serial);
  if (days == 0) return full.substr(11);
  if (secs == 0) return full.substr(0, 10);
  return full;
}

bool Parse(const std::string& text, double* serial) {
  Cursor c{text};
  c.Blanks();
  int y = 1899, m = 12, d = 30, h = 0, mi = 0, s = 0;
  bool have_date = ParseDate(c, &y, &m, &d);
  if (have_date) {
    size_t before = c.i;
    c.Blanks();
    if (c.i == before || !ParseTime(c, &h, &mi, &s)) {
      c.i = before;
      h = mi = s = 0;
    }
  } else {
    size_t save = c.i;
    if (!ParseTime(c, &h, &mi, &s)) return false;
    (void)save;
  }
  c.Blanks();
  if (!c.End()) return false;
  *serial = FromParts(y, m, d, h, mi, s);
  return true;
}

bool ParseTimeOn(int year, int month, int day, const std::string& time_text, double* serial) {
  if (!ValidDate(year, month, day)) return false;
  Cursor c{time_text};
  c.Blanks();
  int h = 0, mi = 0, s = 0;
  if (!ParseTime(c, &h, &mi, &s)) {
    c.i = 0;
    h = mi = s = 0;
  }
  c.Blanks();
  if (!c.End()) return false;
  *serial = FromParts(year, month, day, h, mi, s);
  return true;
}

}  // namespace datetime
