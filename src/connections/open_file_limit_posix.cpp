#include "connections/open_file_limit.h"

#include <algorithm>

#include <sys/resource.h>

namespace connections {

void raiseOpenFileLimit(int wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(wanted))
        return;
    limit.rlim_cur = std::min(limit.rlim_max, rlim_t(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace connections
