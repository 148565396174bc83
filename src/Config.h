// Config: the program's configuration record, filled at start-up from its defaults and the
// command line and written to the log; a request for help or a faulty command line ends the
// program during that start-up. Only read afterwards.
#pragma once

#include "Types.h"

namespace Config {

using TPthStr = CHAR[128];

struct TDataDesc {
  CHAR prg[16];  // program name
  CARD32 ver;    // version number
  CHAR ext[32];  // version date
  TPthStr dir;   // current directory at start-up
  BOOL8 dbg;     // debug flag (-d)
  BOOL8 vrb;     // verbose: echo the dump to the console (-v)
  CARD32 dur;    // run time in milliseconds
  CARD32 adr;    // remote IPv4 address (-a), as Utils.IP makes it
  CARD16 prt;    // remote UDP port (-p)
};

extern const TDataDesc& data;

void Start();

}  // namespace Config
