#include "rounding.h"

#include <cfenv>
#include <cmath>

namespace rounding {

double RoundHalfEven(double value) {
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value);
  std::fesetround(saved);
  return r;
}

}  // namespace rounding
