// Prints the window's layout as the program has it, one line per control:
// its name, then left, top, width and height in twips; first the client area,
// as "Form1". The end-to-end scripts read it rather than keep a copy.

#include "main_window/layout.h"

#include <cstdio>

namespace {

void print(const char *name, const disposicion::Twips &t)
{
    std::printf("%s %d %d %d %d\n", name, t.left, t.top, t.width, t.height);
}

} // namespace

int main()
{
    print("Form1", disposicion::kAreaCliente);
    for (const disposicion::Lugar &lugar : disposicion::kLugares)
        print(lugar.control, lugar.twips);
    return 0;
}
