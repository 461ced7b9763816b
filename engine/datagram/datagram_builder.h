// datagram: lays out the bytes of a log datagram as a log mod sends them.
//
// Layout of one datagram:
//   bytes 1-4    zero (not examined by the engine)
//   bytes 5-8    the packet number, one hexadecimal digit per byte, most
//                significant first: byte 5 = n / 4096 (0..255), byte 6 =
//                (n / 256) % 16, byte 7 = (n / 16) % 16, byte 8 = n % 16, so
//                that 4096*b5 + 256*b6 + 16*b7 + b8 gives n back. Numbers up
//                to kMaxPacketNumber (1,048,575) fit; Build() encodes the
//                number modulo kMaxPacketNumber + 1 (a sender's counter wraps).
//   bytes 9-20   zero (three more fields of the same form, unused)
//   then         the server variable block: `name "value"` + LF per variable
//   then         NUL
//   then         the record lines, each + LF
//   then         when there are player variable lines: NUL, then each line
//                + LF (`\0netname "x"\n` ...)
//
// What cannot be laid out (a record or variable line holding LF, a record
// starting with NUL, a variable name holding a double quote, NUL in a server
// variable) is refused with std::invalid_argument; Split refuses a line that
// does not fit max_bytes with std::length_error.
//
// Pure value types and functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace datagram {

constexpr uint32_t kMaxPacketNumber = 4096u * 255u + 4095u;   // 1,048,575
constexpr size_t kHeaderSize = 20;

// A record line: the fields joined by TABs.
std::string RecordLine(std::initializer_list<std::string> fields);

struct Builder {
  std::vector<std::pair<std::string, std::string>> server_vars;
  std::vector<std::string> records;            // record lines without LF
  std::vector<std::string> player_var_lines;   // e.g. `netname "x"`, without LF
  uint32_t packet_number = 0;

  std::vector<uint8_t> Build() const;
  // The number of bytes Build() produces.
  size_t Size() const;
};

// Bytes 5 to 8 for a packet number (modulo kMaxPacketNumber + 1).
void EncodePacketNumber(uint32_t packet_number, uint8_t out[4]);

// Splits a long game log into datagrams of at most `max_bytes` bytes each,
// every one carrying the server variables, with packet numbers counting up
// from log.packet_number. Records keep their order; a "LogDate" record stays
// in one datagram with the record after it (that record carries its time).
// Player variable lines follow the last record, in the last datagram or in
// further ones; a player's group split over two datagrams repeats its
// "netname" line at the start of the second.
std::vector<Builder> Split(const Builder& log, size_t max_bytes);
std::vector<std::vector<uint8_t>> SplitBytes(const Builder& log, size_t max_bytes);

}  // namespace datagram
