#pragma once

// What start-up does differently on each system; main() is the same on all.
// POSIX and Windows each have a file of their own.
class QWidget;

namespace startup_platform {

// Before the application object: false when no window can be opened here.
// The reason and the way to open it have then been told on standard error.
bool puedeAbrirVentana(int argc, char **argv);

// After the application object: fonts the program carries with it, where
// the system does not provide the window's own, and the one font for
// everything the program shows.
void cargarFuentesPropias();

// The window as the system frames it: fixed in size, as its layout is.
void enmarcarVentana(QWidget &ventana);

} // namespace startup_platform
