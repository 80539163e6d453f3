#pragma once

namespace connections {

// Every connection takes a file descriptor, and the usual soft limit of 1024
// is below what a window may hold at once. Raises this process's soft limit
// to `wanted`, or to the hard limit where that is lower; never lowers it.
void raiseOpenFileLimit(int wanted);

} // namespace connections
