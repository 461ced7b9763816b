// Fuzz target: the connections file reader and the connection string
// readers. The input is a connections file's bytes; each of its lines is
// read as the listener reads it at start-up, and each connection string
// found is taken apart by every reader of settings: the ado layer's
// ConnectionSetting and the provider's option checks (through an Open of a
// file that never exists), the listener's display and logon forms, and the
// engine's logged form.
#include <cstdint>
#include <string>

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
  for (const char* name : kSettings) (void)ado::ConnectionSetting(cs, name);
  (void)tallyhost::DisplayForm(cs);
  (void)tallyhost::ReducedDatabaseText(cs);
  (void)tallyhost::DatabasePath(cs);
  (void)tallyhost::LogonTestString(cs, "user", "secret");
  (void)tallycore::MakeLoggedConnectionString(cs);
  // The first Data Source wins, so the open reads every other setting and
  // then fails at a file that is not there.
  try {
    ado::Connection connection;
    connection.Open("Data Source=/nonexistent-tally-fuzz/stats.db;" + cs);
  } catch (const ado::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const std::string& line : textfile::SplitLines(bytes)) {
    if (line == tallyhost::kHeaderLine) continue;
    try {
      tallyhost::EntryLine e = tallyhost::ParseEntryLine(line, "/nonexistent-tally-fuzz");
      TakeApart(e.connection_string);
      (void)tallyhost::FormatEntryLine(std::to_string(e.port), e.connection_string, e.logon,
                                       e.log_path);
    } catch (const tallyhost::Failure&) {
    }
  }
  TakeApart(bytes);
  return 0;
}
