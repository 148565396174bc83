#include "Args.h"

#include "Runtime.h"
#include "os/os.h"

namespace Args {
namespace {

BOOL8 started = false;

struct State {
  CARD32 cnt = 0;
  CARD32 idx = 1;
  TSymbol sym = symNull;
  TLitStr lit = {};
  CARD32 len = 0;
};
State st;

void ClearLit() {
  for (CHAR& c : st.lit) c = '\0';
}

}  // namespace

const CARD32& cnt = st.cnt;
const CARD32& idx = st.idx;
const TSymbol& sym = st.sym;
const TLitStr& lit = st.lit;
const CARD32& len = st.len;

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Args");
  Reset();
}

void Reset() {
  st.cnt = Os::ArgCount();
  ClearLit();
  st.idx = 1;
  st.sym = symNull;
  st.len = 0;
}

void Read() {
  if (st.idx > st.cnt) {
    ClearLit();
    st.len = 0;
    st.sym = symEOA;
    return;
  }
  // The argument, cut to the array: one of 256 characters or more fills it with no NUL.
  const Text a = Os::GetArg(st.idx);
  const CARD32 n = a.Len() < litLen ? a.Len() : litLen;
  ClearLit();
  for (CARD32 i = 0; i < n; ++i) st.lit[i] = a.s[i];
  ++st.idx;
  if (n > 0 && (st.lit[0] == '-' || st.lit[0] == '/')) {
    // Only the first character counts: "--v" is the option "-v". A lone "-" or "/" is a plain
    // argument with empty text.
    for (CARD32 i = 1; i < n; ++i) st.lit[i - 1] = st.lit[i];
    st.lit[n - 1] = '\0';
    st.len = n - 1;
    st.sym = st.len > 0 ? symOpt : symArg;
  } else {
    st.len = n;
    st.sym = symArg;
  }
}

}  // namespace Args
