#include "connections/open_file_limit.h"

namespace connections {

// A socket here is a kernel handle, not a descriptor of the C library, and
// no per-process limit as low as a window's thousand connections applies.
void raiseOpenFileLimit(int) { }

} // namespace connections
