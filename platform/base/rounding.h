// rounding: whole numbers from fractions the way the programs round them,
// halves to the even neighbour (2.5 gives 2, 3.5 gives 4, -2.5 gives -2),
// whatever rounding mode the caller has set. Pure; thread-safe.
#pragma once

namespace rounding {

double RoundHalfEven(double value);

}  // namespace rounding
