// Fuzz target: the spool's record reader. The input is read twice: as a
// spool file's record bytes under a fixed key (every record read back is
// written again and must read back the same), and as the fields of a
// datagram, which written as a record must read back the same, and whose
// record cut short anywhere must not read at all.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "spool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kKey = 0x5441'4c4c'5946'555aull;
  size_t at = 0;
  while (at < size) {
    tallyhost::SpooledDatagram d;
    const size_t used = tallyhost::DecodeSpoolRecord(data + at, size - at, kKey, &d);
    if (used == 0) {
      ++at;   // as the reader does past damage: look for the next record
      continue;
    }
    if (used > size - at) std::abort();
    const std::vector<uint8_t> again = tallyhost::EncodeSpoolRecord(d, kKey, d.sequence);
    tallyhost::SpooledDatagram e;
    if (tallyhost::DecodeSpoolRecord(again.data(), again.size(), kKey, &e) != again.size() || e.data != d.data ||
        e.sender_address != d.sender_address || e.sender_port != d.sender_port || e.local_port != d.local_port ||
        e.sequence != d.sequence)
      std::abort();
    at += used;
  }
  if (size >= 16) {
    tallyhost::SpooledDatagram d;
    std::memcpy(&d.arrival, data, 8);
    std::memcpy(&d.sender_port, data + 8, 4);
    std::memcpy(&d.local_port, data + 12, 4);
    const size_t address = std::min<size_t>(size - 16, data[0] % 64);
    d.sender_address.assign(reinterpret_cast<const char*>(data + 16), address);
    d.data.assign(data + 16 + address, data + size);
    const std::vector<uint8_t> bytes = tallyhost::EncodeSpoolRecord(d, kKey, 1 + data[1]);
    tallyhost::SpooledDatagram e;
    if (tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size(), kKey, &e) != bytes.size()) std::abort();
    if (std::memcmp(&e.arrival, &d.arrival, 8) != 0 || e.data != d.data || e.sender_address != d.sender_address ||
        e.sender_port != d.sender_port || e.local_port != d.local_port || e.sequence != 1u + data[1])
      std::abort();
    if (tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size() - 1 - data[2] % bytes.size(), kKey, nullptr) != 0)
      std::abort();
    if (tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size(), kKey + 1, nullptr) != 0) std::abort();
  }
  return 0;
}
