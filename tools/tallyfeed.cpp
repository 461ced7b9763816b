// tallyfeed: hands datagram files to the engine exactly as the listener
// does (a new Score_Class per datagram, the seven properties in order, then
// Process), to re-process captured datagrams or to try a connection string.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "com.h"
#include "msgbox.h"
#include "prune_archive.h"
#include "replay_archive.h"
#include "schema.h"
#include "textfile.h"
#include "score_class.h"
#include "client/pass_properties.h"

namespace {

const char kUsage[] =
    "usage: tallyfeed [--create-tables] [--raw] [--log-path PATH] [--from IP:PORT]\n"
    "                 [--listen-port N] [--lock-budget SECONDS] CONNECTION_STRING FILE...\n"
    "\n"
    "Each FILE holds the bytes of one datagram. The engine stores it in the database\n"
    "named by CONNECTION_STRING (for example \"Provider=SQLite;Data Source=/path/stats.db\").\n"
    "  --create-tables   create the missing tables first\n"
    "  --raw             append each datagram to Logout.log (rawlog 1)\n"
    "  --log-path PATH   the process log (default: the engine's own)\n"
    "  --from IP:PORT    the sender (default 127.0.0.1:27910)\n"
    "  --listen-port N   the listening port written to the process log (default 28000)\n"
    "  --lock-budget S   answer the locked-database prompt Yes for S seconds (default 60)\n"
    "Exit status 0 when every pass completed with no statement ignored and no line\n"
    "skipped as unreadable; 1 otherwise (each file concerned, each ignored statement\n"
    "and each skipped line is named on standard error).\n"
    "\n"
    "usage: tallyfeed --replay-archive [--log-path PATH] [--listen-port N] FROM TO\n"
    "\n"
    "Hands every archived datagram (Logs row) of the database FROM, in Record order,\n"
    "to the engine as the listener did, storing into the database TO; what a pass\n"
    "stamps with the time takes the row's receipt time. Interrupted (Ctrl+C), the\n"
    "same command resumes where it stopped. Exit status 0 when every row completed.\n"
    "\n"
    "usage: tallyfeed --prune-archive [--dry-run] BEFORE CONNECTION_STRING\n"
    "\n"
    "Removes the archived datagrams (Logs rows) received before BEFORE (local time,\n"
    "YYYY-MM-DD or \"YYYY-MM-DD HH:MM:SS\") and their links to games (Logs_Games);\n"
    "games, players and scores stay. The newest row is always kept. One transaction;\n"
    "refused (exit status 1, nothing removed) while a listener is storing into the\n"
    "database. --dry-run tells what would be removed and removes nothing.\n";

bool ParseInt(const std::string& text, long min, long max, long* out) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool create_tables = false;
  int16_t rawlog = 0;
  std::string log_path, from_ip = "127.0.0.1";
  long from_port = 27910, listen_port = 28000, budget = 60;
  std::vector<std::string> positional;
  bool replay_archive = false, prune_archive = false, dry_run = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "tallyfeed: " << name << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--replay-archive") {
      replay_archive = true;
    } else if (a == "--prune-archive") {
      prune_archive = true;
    } else if (a == "--dry-run") {
      dry_run = true;
    } else if (a == "--create-tables") {
      create_tables = true;
    } else if (a == "--raw") {
      rawlog = 1;
    } else if (a == "--log-path") {
      log_path = value("--log-path");
    } else if (a == "--from") {
      std::string v = value("--from");
      size_t colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !ParseInt(v.substr(colon + 1), 0, 65535, &from_port)) {
        std::cerr << "tallyfeed: --from wants IP:PORT, got \"" << v << "\"\n";
        return 2;
      }
      from_ip = v.substr(0, colon);
    } else if (a == "--listen-port") {
      if (!ParseInt(value("--listen-port"), 0, 65535, &listen_port)) {
        std::cerr << "tallyfeed: --listen-port wants a port number\n";
        return 2;
      }
    } else if (a == "--lock-budget") {
      if (!ParseInt(value("--lock-budget"), 0, 86400, &budget)) {
        std::cerr << "tallyfeed: --lock-budget wants seconds\n";
        return 2;
      }
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::cerr << "tallyfeed: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() < 2 || ((replay_archive || prune_archive) && positional.size() != 2) ||
      (replay_archive && prune_archive) || (dry_run && !prune_archive)) {
    std::cerr << kUsage;
    return 2;
  }
  if (prune_archive) return prune::PruneArchive({positional[0], positional[1], dry_run});
  msgbox::Install(std::make_shared<msgbox::HeadlessMessageBoxes>(std::chrono::seconds(budget)));
  if (replay_archive)
    return replay::ReplayArchive({positional[0], positional[1], log_path, static_cast<int>(listen_port)});
  const std::string connection_string = positional[0];

  if (create_tables) {
    try {
      schema::CreateDatabaseTables(connection_string);
    } catch (const ado::Error& e) {
      std::cerr << "tallyfeed: cannot create the tables: Error # " << e.Number() << ": "
                << e.Description() << "\n";
      return 1;
    }
  }

  int failures = 0;
  for (size_t f = 1; f < positional.size(); ++f) {
    const std::string& file = positional[f];
    const std::optional<std::string> content = textfile::ReadAll(file);
    if (!content) {
      std::cerr << "tallyfeed: " << file << ": cannot be read\n";
      ++failures;
      continue;
    }
    const std::vector<uint8_t> bytes(content->begin(), content->end());

    com::ComPtr<tallycore::_Score_Class> engine;
    std::string why;
    com::HRESULT hr = com::CoCreateInstance(tallycore::CLSID_Score_Class,
                                            tallycore::IID__Score_Class,
                                            reinterpret_cast<void**>(engine.Receive()),
                                            tallycore::kLibraryName, &why);
    if (hr != com::S_OK) {
      std::cerr << "tallyfeed: cannot create the engine: " << why << "\n";
      return 1;
    }
    const tallycore::PassRun run = tallycore::RunPass(
        *engine.get(), {connection_string, static_cast<int32_t>(listen_port), from_ip,
                        static_cast<int32_t>(from_port), log_path, rawlog, bytes});
    const std::string failure = run.Failure();
    const tallycore::PassOutcome& outcome = run.outcome;
    std::string where = file + (outcome.process_number ? " (process " + std::to_string(outcome.process_number) + ")" : "");
    if (!outcome.skipped_lines.empty()) {
      std::cerr << "tallyfeed: " << where << ": skipped " << outcome.skipped_lines.size()
                << " unreadable line(s):";
      for (auto n : outcome.skipped_lines) std::cerr << ' ' << n;
      std::cerr << "\n";
    }
    for (const std::string& statement : outcome.ignored)
      std::cerr << "tallyfeed: " << where << ": a statement was ignored at a prompt: " << statement << "\n";
    if (!failure.empty()) {
      std::cerr << "tallyfeed: " << where << ": " << failure
                << (outcome.deferred ? " (nothing of it was stored)" : "") << "\n";
      ++failures;
    } else if (outcome.stopped) {
      std::cerr << "tallyfeed: " << where << ": processing stopped at a prompt\n";
      ++failures;
    } else if (!outcome.completed) {
      std::cerr << "tallyfeed: " << where << ": the pass ended without completing\n";
      ++failures;
    } else if (!outcome.ignored.empty() || !outcome.skipped_lines.empty()) {
      ++failures;
    } else {
      std::cout << where << ": completed\n";
    }
  }
  return failures == 0 ? 0 : 1;
}
