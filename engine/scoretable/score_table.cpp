#include "score_table.h"

namespace scoretable {

std::string TableNameOf(int64_t game_record) {
  return std::string(kSharedTable) + "_000000" + std::to_string(game_record);
}

std::string SelectList() {
  std::string list = "Record";
  for (const Column& c : kColumns) list += std::string(", ") + c.name;
  return list;
}

std::string ColumnDefinitions(const std::string& integer_type, const std::string& single_type) {
  std::string definitions;
  for (const Column& c : kColumns)
    definitions += std::string(", ") + c.name + " " + (c.single ? single_type : integer_type);
  return definitions;
}

}  // namespace scoretable
