// Score records: one row of the current game's score table per kill,
// suicide or other scoring event.
#include <string>

#include "scoring.h"

namespace tallycore {

void HandleScoreRecord() {
  EngineState& s = State();
  EnsureCurrentGame();
  const auto& f = s.RecordFields;
  LookupPlayer(f[1]);
  const int32_t killer = s.PlayerRecord;
  LookupPlayer(f[2]);
  const int32_t victim = s.PlayerRecord;
  LookupType(f[3]);
  LookupWeapon(f[4]);
  AppendScoreRow(std::to_string(killer), std::to_string(victim), std::to_string(s.TypeRecord),
                 std::to_string(s.WeaponRecord), f[5], f[6]);
}

}  // namespace tallycore
