// Must not pass the include check: written as if in src/connections/, it
// climbs into the rich-text room past the include path.
#include "../rich_text/rope.h"
