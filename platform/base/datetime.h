// Date-time values as the system keeps them: a day serial, the number of
// days since 1899-12-30 00:00:00 (the zero date), the fraction being the
// time of day. Negative serials lie before the zero date; their fraction is
// still a positive time of day (-1.25 is 1899-12-29 06:00:00).
//
// The general date format is "YYYY-MM-DD HH:MM:SS" (24-hour); the date alone
// when the time is midnight, the time alone when the date is the zero date.
// Parsing accepts that format, "M/D/YYYY" dates and times "H:MM:SS" or
// "H:MM", each with or without "AM"/"PM" ("12:00:00 AM" is midnight).
//
// Pure functions; thread-safe.
#pragma once

#include <string>

namespace datetime {

// Whole seconds are the finest unit; serials are rounded to the second.
double FromParts(int year, int month, int day, int hour, int minute, int second);
void ToParts(double serial, int* year, int* month, int* day, int* hour, int* minute,
             int* second);

double Now();   // the current local date and time: env::Current().LocalNow() (env.h)

std::string FormatGeneral(double serial);
// Always the full "YYYY-MM-DD HH:MM:SS" form (the zero date included).
std::string FormatFull(double serial);

// Returns false when the text is no valid date-time.
bool Parse(const std::string& text, double* serial);

// Reads what Parse reads from the general form of a date, a blank and
// `time_text`: that date at the time of day in `time_text`, or at midnight
// when `time_text` holds blanks only. False when the date is no valid date
// of the years 100 to 9999 or `time_text` is no time of day.
bool ParseTimeOn(int year, int month, int day, const std::string& time_text, double* serial);

}  // namespace datetime
