// 5 x 7 character shapes for the characters 32 to 126: five column bytes each,
// bit 0 the top row.
#pragma once
#include <cstdint>

namespace devsim {
extern const std::uint8_t kGlyphs5x7[95][5];
}
