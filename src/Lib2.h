// Lib2: filling a byte array with one value, and the two increments that wrap around.
#pragma once

#include <cstring>
#include <type_traits>

#include "Types.h"

namespace Lib2 {
void Start();

// Sets every byte of x to v.
void Fill(void* x, std::size_t n, BYTE v);
template <class T>
void Fill(T& x, BYTE v) {
  static_assert(std::is_trivially_copyable_v<T>, "Fill works on plain data");
  Fill(&x, sizeof x, v);
}

// x := (x + d) modulo 2^32.
inline void IncL(CARD32& x, CARD32 d) {
  x = static_cast<CARD32>(x + d);
}
// x := (x + d) modulo 256.
inline void IncS(BYTE& x, BYTE d) {
  x = static_cast<BYTE>(x + d);
}
}  // namespace Lib2
