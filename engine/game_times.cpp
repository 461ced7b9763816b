// The date-time values of the game records: the start "LogDate" writes, the
// start after "LogTime" and the end after "GameEnd". Pure functions.
#include <cmath>
#include <string>

#include "datetime.h"
#include "rounding.h"
#include "scoring.h"

namespace tallycore {

std::string LogDateStartValue(const std::string& field4, bool has_time_line,
                              const std::string& time_text, std::string* log_date_text,
                              std::string* log_time_text) {
  // Only a blank from the 8th character on ends the date.
  size_t blank = field4.size() > 7 ? field4.find(' ', 7) : std::string::npos;
  *log_date_text = blank == std::string::npos ? field4 : field4.substr(0, blank);
  if (!has_time_line) return *log_date_text + " 12:00:00 AM";
  *log_time_text = time_text;
  if (log_date_text->empty() && log_time_text->empty()) return "12:00:01 AM";
  if (log_time_text->empty() || *log_time_text == "00:00:00") *log_time_text = "12:00:01 AM";
  return *log_date_text + " " + *log_time_text;
}

bool LogTimeValue(double start, const std::string& time_text, double* result) {
  int y, m, d, h, mi, s;
  datetime::ToParts(start, &y, &m, &d, &h, &mi, &s);
  // On the zero date the general form is the time alone: the time of the
  // record then stands alone too.
  if (y == 1899 && m == 12 && d == 30) return datetime::Parse(time_text, result);
  // Otherwise the date of the general form, a blank and the time, read
  // without writing the date out to read it back.
  return datetime::ParseTimeOn(y, m, d, time_text, result);
}

bool GameEndValue(double start, const std::string& offset_field, double* end) {
  // Ten thousand years of seconds: more lies beyond any date-time.
  constexpr double kMaxSeconds = 86400.0 * 366 * 10000;
  double offset = LeadingNumber(offset_field);
  if (!(std::fabs(offset) <= kMaxSeconds)) return false;
  long long seconds = static_cast<long long>(rounding::RoundHalfEven(offset));

  int y, m, d, h, mi, s;
  datetime::ToParts(start, &y, &m, &d, &h, &mi, &s);
  long long total = h * 3600LL + mi * 60LL + s + seconds;
  long long carry = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
  long long rest = total - carry * 86400;
  double days = datetime::FromParts(y, m, d, 0, 0, 0) + static_cast<double>(carry);
  *end = days >= 0 ? days + rest / 86400.0 : days - rest / 86400.0;
  return days >= datetime::FromParts(100, 1, 1, 0, 0, 0) &&
         days <= datetime::FromParts(9999, 12, 31, 0, 0, 0);
}

}  // namespace tallycore
