#pragma once

#include <QColor>

// Colours are written &HBBGGRR: blue in the high byte, red in the low byte.
inline QColor colorDeBgr(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}
