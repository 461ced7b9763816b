#include "datagram_builder.h"

#include <stdexcept>

namespace datagram {
namespace {

size_t VarsSize(const Builder& b) {
  size_t n = 0;
  for (const auto& [name, value] : b.server_vars) n += name.size() + value.size() + 4;
  return n;
}

void Check(const Builder& b) {
  for (const auto& [name, value] : b.server_vars) {
    if (name.find_first_of(std::string("\"\n\0", 3)) != std::string::npos ||
        value.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
      throw std::invalid_argument("server variable cannot be laid out: " + name);
    }
  }
  for (const auto& r : b.records) {
    if (r.find('\n') != std::string::npos || (!r.empty() && r[0] == '\0')) {
      throw std::invalid_argument("record line cannot be laid out: " + r);
    }
  }
  for (const auto& l : b.player_var_lines) {
    if (l.find('\n') != std::string::npos) {
      throw std::invalid_argument("player variable line cannot be laid out: " + l);
    }
  }
}

bool IsLogDate(const std::string& record) {
  // A keyword record: empty field 1, field 3 "LogDate".
  if (record.empty() || record[0] != '\t') return false;
  size_t second = record.find('\t', 1);
  if (second == std::string::npos) return false;
  return record.compare(second + 1, 7, "LogDate") == 0 &&
         (record.size() == second + 8 || record[second + 8] == '\t' ||
          record[second + 8] == '\r');
}

bool IsNetname(const std::string& line) { return line.rfind("netname ", 0) == 0; }

}  // namespace

void EncodePacketNumber(uint32_t packet_number, uint8_t out[4]) {
  uint32_t n = packet_number % (kMaxPacketNumber + 1);
  out[0] = static_cast<uint8_t>(n / 4096);
  out[1] = static_cast<uint8_t>((n / 256) % 16);
  out[2] = static_cast<uint8_t>((n / 16) % 16);
  out[3] = static_cast<uint8_t>(n % 16);
}

size_t Builder::Size() const {
  size_t n = kHeaderSize + VarsSize(*this) + 1;
  for (const auto& r : records) n += r.size() + 1;
  if (!player_var_lines.empty()) {
    n += 1;
    for (const auto& l : player_var_lines) n += l.size() + 1;
  }
  return n;
}

std::string RecordLine(std::initializer_list<std::string> fields) {
  std::string out;
  bool first = true;
  for (const auto& f : fields) {
    if (!first) out += '\t';
    out += f;
    first = false;
  }
  return out;
}

std::vector<uint8_t> Builder::Build() const {
  Check(*this);
  std::vector<uint8_t> out(kHeaderSize, 0);
  out.reserve(Size());
  EncodePacketNumber(packet_number, &out[4]);
  auto append = [&](const std::string& s) { out.insert(out.end(), s.begin(), s.end()); };
  for (const auto& [name, value] : server_vars) {
    append(name);
    append(" \"");
    append(value);
    append("\"\n");
  }
  out.push_back(0);
  for (const auto& r : records) {
    append(r);
    out.push_back('\n');
  }
  if (!player_var_lines.empty()) {
    out.push_back(0);
    for (const auto& l : player_var_lines) {
      append(l);
      out.push_back('\n');
    }
  }
  return out;
}

std::vector<Builder> Split(const Builder& log, size_t max_bytes) {
  Check(log);
  Builder empty;
  empty.server_vars = log.server_vars;
  const size_t base = empty.Size();
  std::vector<Builder> out;
  auto fresh = [&]() -> Builder& {
    out.push_back(empty);
    out.back().packet_number = log.packet_number + static_cast<uint32_t>(out.size() - 1);
    return out.back();
  };
  auto too_big = [&](const std::string& line) {
    return std::length_error("a line does not fit a datagram of " + std::to_string(max_bytes) +
                             " bytes: " + line.substr(0, 40));
  };

  // Records, in units that stay together ("LogDate" and the record after it).
  size_t used = 0;
  Builder* current = nullptr;
  for (size_t i = 0; i < log.records.size();) {
    size_t count = (IsLogDate(log.records[i]) && i + 1 < log.records.size()) ? 2 : 1;
    size_t bytes = 0;
    for (size_t k = i; k < i + count; ++k) bytes += log.records[k].size() + 1;
    if (base + bytes > max_bytes) throw too_big(log.records[i]);
    if (!current || used + bytes > max_bytes) {
      current = &fresh();
      used = base;
    }
    for (size_t k = i; k < i + count; ++k) current->records.push_back(log.records[k]);
    used += bytes;
    i += count;
  }

  // Player variables after the records; NUL leads the section.
  std::string group_netname;   // the netname line of the group being laid out
  bool section_open = false;
  for (const auto& line : log.player_var_lines) {
    size_t bytes = line.size() + 1;
    bool repeat = !IsNetname(line) && !group_netname.empty();
    size_t need = bytes + (section_open ? 0 : 1);
    if (!current || used + need > max_bytes) {
      current = &fresh();
      used = base;
      section_open = false;
      need = bytes + 1;
      if (repeat) {
        // Carry the group over: its netname line opens the new datagram.
        current->player_var_lines.push_back(group_netname);
        used += group_netname.size() + 2;
        section_open = true;
        need = bytes;
      }
      if (used + need > max_bytes) throw too_big(line);
    }
    if (IsNetname(line)) group_netname = line;
    current->player_var_lines.push_back(line);
    used += need;
    section_open = true;
  }
  if (out.empty()) fresh();
  return out;
}

std::vector<std::vector<uint8_t>> SplitBytes(const Builder& log, size_t max_bytes) {
  std::vector<std::vector<uint8_t>> out;
  for (const Builder& b : Split(log, max_bytes)) out.push_back(b.Build());
  return out;
}

}  // namespace datagram
