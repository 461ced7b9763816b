// ProviderTypeTable: the provider's type names and literal characters.
#include "score_module.h"

namespace tallycore {

void ScanProviderTypes() {
  auto& s = State();
  auto& t = s.ProviderTypeTable;
  const struct { int32_t type; bool best, is_long; } wanted[7] = {
      {0, false, false}, {3, true, false},   {4, true, false},  {7, true, false},
      {135, true, false}, {129, true, false}, {128, false, true}};
  for (int i = 1; i <= 6; ++i) t[i] = ProviderTypeRow{wanted[i].type, wanted[i].best, wanted[i].is_long, "", "", ""};

  s.EngineRecordset = s.EngineConnection->OpenSchema(ado::kSchemaProviderTypes);
  auto& rs = *s.EngineRecordset;
  if (!rs.Eof()) rs.MoveFirst();
  while (!rs.Eof()) {
    ado::Value data_type = rs.Field("DATA_TYPE"), best = rs.Field("BEST_MATCH"),
               is_long = rs.Field("IS_LONG");
    if (!data_type.IsNull() && !best.IsNull() && !is_long.IsNull()) {
      for (int i = 1; i <= 6; ++i) {
        if (data_type.AsInteger() != t[i].DataType || best.AsBool() != t[i].BestMatch ||
            is_long.AsBool() != t[i].IsLong)
          continue;
        ado::Value prefix = rs.Field("LITERAL_PREFIX"), suffix = rs.Field("LITERAL_SUFFIX");
        if (!prefix.IsNull()) t[i].LiteralPrefix = prefix.AsText();
        if (!suffix.IsNull()) t[i].LiteralSuffix = suffix.AsText();
        t[i].TypeName = rs.Field("TYPE_NAME").AsText();
      }
    }
    rs.MoveNext();
  }
  rs.Close();

  // Rows 1 to 5 become the five slots: the date-time slot is the DATA_TYPE 7
  // row when the provider has one, else the 135 row.
  if (!t[3].TypeName.empty()) {
    t[4] = t[5];
    t[5] = t[6];
  } else {
    t[3] = t[4];
    t[4] = t[5];
    t[5] = t[6];
  }
}

}  // namespace tallycore
