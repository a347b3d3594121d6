#include "dxbc_checksum.h"

#include <cmath>
#include <cstring>

namespace GraphicsTest {
namespace {

// Little-endian, as MD5 reads its words.
uint32_t u32(const unsigned char* data)
{
    uint32_t value;
    std::memcpy(&value, data, 4);
    return value;
}

// MD5's block transform (RFC 1321).
void md5Block(uint32_t state[4], const unsigned char block[64])
{
    static const uint32_t shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (uint32_t i = 0; i < 64; ++i) {
        const uint32_t round = i / 16;
        const uint32_t f = round == 0   ? (b & c) | (~b & d)
                           : round == 1 ? (d & b) | (~d & c)
                           : round == 2 ? b ^ c ^ d
                                        : c ^ (b | ~d);
        const uint32_t word = round == 0   ? i
                              : round == 1 ? (5 * i + 1) % 16
                              : round == 2 ? (3 * i + 5) % 16
                                           : (7 * i) % 16;
        const auto sine = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        const uint32_t sum = a + f + sine + u32(block + 4 * word);
        const uint32_t shift = shifts[round][i % 4];
        const uint32_t next = b + ((sum << shift) | (sum >> (32 - shift)));
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void dxbcChecksum(const unsigned char* container, size_t size, uint32_t out[4])
{
    // MD5 over the bytes after the checksum field, except for the final padding: the bit count
    // goes first in the last block and (bits >> 2) | 1 last, instead of a 64-bit length at the end.
    const unsigned char* data = container + 20;
    const size_t length = size - 20;
    const uint32_t bits = static_cast<uint32_t>(length * 8);
    const uint32_t last = (bits >> 2) | 1;
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const size_t fullBlocks = length / 64;
    for (size_t i = 0; i < fullBlocks; ++i) {
        md5Block(state, data + i * 64);
    }
    const size_t rest = length % 64;
    const unsigned char* tail = data + fullBlocks * 64;
    unsigned char block[64] = {};
    if (rest >= 56) {
        std::memcpy(block, tail, rest);
        block[rest] = 0x80;
        md5Block(state, block);
        std::memset(block, 0, sizeof block);
        std::memcpy(block, &bits, 4);
    } else {
        std::memcpy(block, &bits, 4);
        std::memcpy(block + 4, tail, rest);
        block[4 + rest] = 0x80;
    }
    std::memcpy(block + 60, &last, 4);
    md5Block(state, block);
    std::memcpy(out, state, sizeof state);
}

}  // namespace GraphicsTest
