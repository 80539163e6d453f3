#pragma once

namespace connections {

// The TCP port every copy listens on and every outgoing link connects to.
inline constexpr int PuertoChat = 49577;

} // namespace connections
