#pragma once

#include <QtGlobal>

namespace code_page {

// Windows-1252, the code page of legacy Spanish peers and of RTF's \'hh
// escapes: Latin-1 but for 0x80 to 0x9F, where the five bytes it leaves
// unassigned keep their C1 code, so that no byte is lost.
inline constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char16_t windows1252ToUnicode(unsigned char byte)
{
    return byte >= 0x80 && byte <= 0x9F ? kWindows1252High[byte - 0x80] : char16_t(byte);
}

} // namespace code_page
