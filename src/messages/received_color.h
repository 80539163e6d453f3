#pragma once

#include <QtGlobal>

namespace messages {

// The colour of received entries in the transcript, &HBBGGRR: a medium blue.
inline constexpr quint32 ColorRecibido = 0xFF5555;

} // namespace messages
