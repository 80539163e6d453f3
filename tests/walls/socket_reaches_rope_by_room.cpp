// Must not build: the socket layer's library does not link the rich-text room.
#include "rich_text/rope.h"
