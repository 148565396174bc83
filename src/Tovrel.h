// Tovrel: shared buffers between the processes of one session. A program asks for a reader or a
// writer of a configured buffer and then copies blocks out of it or into it, each copy whole
// under the buffer's named mutex, so that a reader never sees part of one write and part of
// another. Each buffer admits at most a fixed number of writers and of readers, counted over all
// processes; a participant beyond the limit halts its program.
#pragma once

#include <cstddef>

#include "Types.h"

namespace Tovrel {

// The configured buffers. The order is part of the layout that the processes share: every
// program that meets another on the buffers has the same members in the same order.
enum TId : BYTE { idMain, idBack };

// A reader and a writer: opaque to the caller, valid until the process ends.
struct TRdrDesc;
struct TWrtrDesc;

void Start();

// A new reader (writer) of buffer i: counted over all processes, with the buffer's objects
// created or opened in this process. Never null: a refused participant, or a failure of the
// objects, halts the program.
TRdrDesc* NewRdr(TId i);
TWrtrDesc* NewWrtr(TId i);

// Copies the first bytes of the buffer to x (m bytes long): l bytes, but no more than m and no
// more than the buffer holds; returns how many it copied and leaves the rest of x alone. A null
// reader delivers zeros: min(l, m) of them, and returns that number.
CARD32 Read(TRdrDesc* r, BYTE* x, CARD32 m, CARD32 l);
template <std::size_t N>
CARD32 Read(TRdrDesc* r, BYTE (&x)[N], CARD32 l) {
  return Read(r, x, static_cast<CARD32>(N), l);
}

// Copies the first bytes of x (m bytes long) to the start of the buffer: l bytes, but no more
// than m and no more than the buffer holds; returns how many it copied and leaves the rest of
// the buffer alone. A null writer copies nothing and returns min(l, m).
CARD32 Write(TWrtrDesc* w, const BYTE* x, CARD32 m, CARD32 l);
template <std::size_t N>
CARD32 Write(TWrtrDesc* w, const BYTE (&x)[N], CARD32 l) {
  return Write(w, x, static_cast<CARD32>(N), l);
}

}  // namespace Tovrel
