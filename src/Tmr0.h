// Tmr0: wrap-around arithmetic on 32-bit tick values.
#pragma once

#include "Types.h"

namespace Tmr0 {
void Start();
// The ticks from t0 to t1, (t1 - t0) modulo 2^32: the earlier value comes first.
constexpr CARD32 Diff(CARD32 t0, CARD32 t1) {
  return static_cast<CARD32>(t1 - t0);
}
// (t + dt) modulo 2^32.
constexpr CARD32 Add(CARD32 t, CARD32 dt) {
  return static_cast<CARD32>(t + dt);
}
}  // namespace Tmr0
