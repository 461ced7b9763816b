// Text rules of the listener: number conversions as the command line, the
// connections file and the dialogs read numbers, the editing of connection
// strings by their ";Name=" settings, and number formatting for settings.
//
// Positions in the comments are 1-based character positions, as the
// connection-string rules are stated that way. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tallyhost {

// A failure with a number and a description, as the listener's messages show
// them ("Error # " + number + ":" + description).
class Failure : public std::runtime_error {
 public:
  Failure(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t Number() const { return number_; }
  std::string Description() const { return what(); }

 private:
  int32_t number_;
};

// Number and description of the exception in flight (ado::Error, com::Error,
// Failure or any std::exception). Call only inside a catch block.
Failure CurrentFailure();

constexpr int32_t kErrOverflow = 6;          // "Overflow"
constexpr int32_t kErrSubscript = 9;         // "Subscript out of range"
constexpr int32_t kErrTypeMismatch = 13;     // "Type mismatch"
constexpr int32_t kErrInvalidCall = 5;       // "Invalid procedure call or argument"

// The leading number of a text (numbers::Leading: blanks and tabs skipped,
// sign, digits, decimal part, exponent). No digits give 0.
double NumberPrefix(const std::string& text);

// Rounds to the nearest whole number, halves to even; throws Failure
// (kErrOverflow) outside the target range.
int32_t RoundToInt32(double value);
int16_t RoundToInt16(double value);

// A whole text read as a single-precision number (blanks around it allowed);
// throws Failure (kErrTypeMismatch) when it is no number.
float ParseSingle(const std::string& text);

// Decimal text of a number: up to 15 significant digits, no decimal part for
// whole numbers, no exponent for ordinary magnitudes.
std::string FormatNumber(double value);

std::string LowerAscii(std::string text);

// The list's form of a connection string: without ";Persist Security Info=".
std::string DisplayForm(const std::string& connection_string);

// The text that Add and Database show and save: without ";User Password="
// and then without ";Persist Security Info=".
std::string ReducedDatabaseText(const std::string& connection_string);

// The value of ";Data Source=" up to the next ";" (empty when absent).
std::string DatabasePath(const std::string& connection_string);

// The connection string the logon dialog opens once to test a user name
// and password.
std::string LogonTestString(const std::string& connection_string, const std::string& user,
                            const std::string& password);

// A text from the network for a status line or a log, as UTF-8 (a text
// that is not UTF-8 read in the narrow code page), with control characters
// (C0, DEL, C1) as \xNN, so that it stays on one readable line.
std::string Printable(const std::string& text);

}  // namespace tallyhost
