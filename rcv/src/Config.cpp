// The receiver's Config: the configuration record, options, help text and dump that every
// program has (ConfigBody.h), with the receiver's own description.
#include "Types.h"

namespace Config {
namespace {
// The end of the program's one-line description.
constexpr CHAR info[] = "): Shared memory receiver.";
}  // namespace
}  // namespace Config

#include "ConfigBody.h"
