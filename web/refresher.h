// refresher: brings tallyweb's derived file up to date with a statistics
// database, reading through ado with Mode=Read.
//
// Each pass reads only what is new: dictionary and link rows past the last
// Record seen, new games and the games still open, and from each game's
// score table the rows past the last Record seen. A game's table is read one
// last time after the game is first seen closed (the engine adds no rows to
// a closed game) and never again. Servers are few and read whole. Score rows
// are summed into per-game and per-player figures (see derived_schema.h);
// a pass commits whole games, so a reader never sees half a game's rows.
//
// The derived file is created when missing and started afresh when it holds
// another layout version, was made from another database, or is ahead of the
// database (a database replaced by an older or other one), or when the last
// rows it read are no longer in the database as read (a database put back
// from a backup, a game rolled back). Deleting, emptying or damaging the
// file while the program runs is noticed by the next pass, which rebuilds it.
//
// Thread safety: one thread runs passes; readers open the file themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace web {

struct RefreshStats {
  int64_t score_rows = 0;   // score rows read in the pass
  int64_t games_read = 0;   // score tables read
  bool rebuilt = false;     // the derived file was started afresh
};

class Refresher {
 public:
  Refresher(std::string connection_string, std::string derived_path);
  ~Refresher();
  Refresher(const Refresher&) = delete;
  Refresher& operator=(const Refresher&) = delete;

  // One pass. Throws ado::Error when the database cannot be read and
  // std::runtime_error when the derived file cannot be written; what was
  // committed before stays. A derived file found damaged or emptied is
  // made again and built in the same pass.
  RefreshStats RefreshOnce();

  // Copies what the passes wrote to the summaries' log back into the file,
  // as far as no reader holds it (an SQLite checkpoint, which the passes
  // leave out so that their figures are there sooner). To be called between
  // passes; without it the log grows with every pass. Throws
  // std::runtime_error when the file cannot be written.
  void Checkpoint();

  // Notes in the derived file, once, since when the database cannot be
  // read (a pass that reads it again clears the note), so that pages can
  // say their figures are older. Failures to write the note are ignored.
  void NoteUnreadable();

  const std::string& derived_path() const { return derived_path_; }

  // Merges the names of each line of this file (aliases.h), read again in
  // every pass: a change makes the next pass sum everything again. A file
  // that cannot be read fails the pass (std::runtime_error).
  void SetAliasesFile(const std::string& path) { aliases_path_ = path; }

 private:
  struct Impl;
  RefreshStats Pass();
  std::string connection_string_;
  std::string derived_path_;
  std::string aliases_path_;
  std::unique_ptr<Impl> impl_;
};

// The source's identity as kept in the derived file: provider, data source
// and location, without credentials.
std::string SourceKey(const std::string& connection_string);

// The connection string with Mode=Read and Texts=UTF-8 set (put first: the
// providers take the first of a setting given twice).
std::string ReadOnlyConnectionString(const std::string& connection_string);

}  // namespace web
