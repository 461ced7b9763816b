// Fuzz target: the connections file reader and the connection string
// readers. The input is a connections file's bytes; each of its lines is
// read as the listener reads it at start-up, and each connection string
// found is taken apart by every reader of settings: the ado layer's
// ConnectionSettings and ConnectionSetting (which must agree: a difference
// stops the run), the checks that Open makes of the provider and its
// settings (CheckConnectionString, which opens nothing), the listener's
// display and logon forms, and the engine's logged form.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "ado.h"
#include "connections_file.h"
#include "score_module.h"
#include "text_rules.h"
#include "textfile.h"

namespace {

const char* const kSettings[] = {"Provider", "Data Source", "User ID", "Password", "Busy Timeout",
                                 "Journal Mode", "Synchronous", "Statement Cache", "Pooling",
                                 "Persist Security Info"};

void TakeApart(const std::string& cs) {
  const ado::ConnectionSettings settings(cs);
  for (const char* name : kSettings) (void)settings.Get(name);
  // One name a text, each in turn as texts differ in length.
  const char* name = kSettings[cs.size() % std::size(kSettings)];
  if (ado::ConnectionSetting(cs, name) != settings.Get(name)) __builtin_trap();
  (void)tallyhost::DisplayForm(cs);
  // The listener's saved form and the engine's logged form are one rule
  // (ado::WithoutPassword): one of them a text.
  (void)(cs.size() % 2 ? tallyhost::ReducedDatabaseText(cs) : tallycore::MakeLoggedConnectionString(cs));
  (void)tallyhost::DatabasePath(cs);
  (void)tallyhost::LogonTestString(cs, "user", "secret");
  try {
    ado::CheckConnectionString(cs);
  } catch (const ado::Error&) {
  }
}

const char kProgramPath[] = "/nonexistent-tally-fuzz";

// Entry lines are read one by one, each apart from the others, so a file of
// a thousand lines reads nothing that its first few do not: only the first
// kLinesRead are read as entries (all are split), and the fuzzer spends its
// time on new lines rather than on repeating old ones.
constexpr size_t kLinesRead = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input is one connection string for every reader of settings;
  // its lines are entries of a connections file. A connection string found
  // in a line is no different from a whole input, so it is not taken apart
  // again: the readers' cost is paid once an input, not once a line.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = textfile::SplitLines(bytes);
  const size_t read = std::min(lines.size(), kLinesRead);
  for (size_t i = 0; i < read; ++i) {
    const std::string& line = lines[i];
    if (line == tallyhost::kHeaderLine) continue;
    try {
      tallyhost::EntryLine e = tallyhost::ParseEntryLine(line, kProgramPath);
      (void)tallyhost::FormatEntryLine(std::to_string(e.port), e.connection_string, e.logon,
                                       e.log_path);
    } catch (const tallyhost::Failure&) {
    }
  }
  TakeApart(bytes);
  return 0;
}
