// CRC-16/XMODEM: polynomial 0x1021, initial value 0, most significant bit first, no reflection and
// no final XOR, computed with a 256-entry table. Sender and receiver share it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

const std::array<uint16_t, 256>& VaCrc16Table();

inline uint16_t VaCrc16Update(uint16_t crc, uint8_t byte)
{
    return static_cast<uint16_t>(VaCrc16Table()[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
}

// The CRC of count bytes at data, continuing from crc.
uint16_t VaCrc16(const void* data, size_t count, uint16_t crc = 0);
