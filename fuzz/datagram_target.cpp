// Fuzz target: the engine's pure readers of a datagram's text, without a
// database: the packet number of the header, the server variable lines, the
// record fields and the numbers, times and ends read from them. The input
// is a datagram text (header bytes, then lines).
#include <array>
#include <cstdint>
#include <string>

#include "scoring.h"
#include "textfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The packet number is bytes 4 to 7 of the header.
  if (text.size() >= 8) (void)tallycore::DecodePacketNumber(text);
  // Kept from line to line, as the engine keeps its record fields.
  std::string name, value;
  std::array<std::string, 7> fields;
  for (const std::string& line : textfile::SplitLines(text)) {
    (void)tallycore::SplitVariableLine(line, &name, &value);
    if (!tallycore::CutRecordFields(line, &fields)) continue;
    for (const std::string& f : fields) {
      (void)tallycore::IsPlainNumber(f);
      (void)tallycore::LeadingNumber(f);
    }
    double out = 0;
    (void)tallycore::GameEndValue(45000.5, fields[5], &out);
    (void)tallycore::LogTimeValue(45000.0, fields[3], &out);
    (void)tallycore::LogTimeValue(0.0, fields[3], &out);
  }
  return 0;
}
