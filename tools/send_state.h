// Where a following tallysend got to, kept in a small text file so that a
// restarted run goes on with the first record not yet sent:
//
//   tallysend state 1
//   file DEV INO        the file read (device and inode; 0 0: none yet)
//   offset N            just after the last record sent from it
//   next-packet N       the packet number of the next datagram
//
// Saved durably: written to FILE.tmp, flushed to the disk, renamed over
// FILE, and the folder flushed, so that a crash leaves the old or the new
// state, never a mixture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "line_splitter.h"

namespace tallysend {

struct SendState {
  Position position;
  uint32_t next_packet = 1;
  bool operator==(const SendState&) const = default;
};

// nullopt with an empty *error when there is no state file yet; nullopt with
// *error set when it can not be read or is damaged.
std::optional<SendState> LoadState(const std::string& path, std::string* error);
// False with *error set when the state could not be saved.
bool SaveState(const std::string& path, const SendState& state, std::string* error);

}  // namespace tallysend
