#pragma once

// Where the window's controls sit: left, top, width and height within the
// client area, in twips (1440 to the inch), as the layout was drawn. Form1
// places its controls from this table; the end-to-end tests read it through
// tests/e2e/window_layout to know where to click.

namespace disposicion {

struct Twips {
    int left, top, width, height;
};

struct Lugar {
    const char *control; // the control's object name
    Twips twips;
};

inline constexpr Twips kAreaCliente{0, 0, 5775, 5865};

inline constexpr Lugar kLugares[] = {
    {"TxtMensaje", {240, 5160, 3975, 495}},     {"CmdEnviar", {4320, 5160, 1215, 495}},
    {"TxtIp", {240, 120, 2415, 285}},           {"CmdConectar", {2760, 120, 1095, 375}},
    {"CmdDesconectar", {3960, 120, 1095, 375}}, {"TxtTexto", {240, 600, 5295, 4455}},
    {"Command1", {5160, 120, 375, 375}},
};

} // namespace disposicion
