#include "dxbc_reader.h"

#include <cstring>

namespace GraphicsTest {
namespace {

// --- MD5 block transform (RFC 1321) -------------------------------------------------------------

uint32_t rotateLeft(uint32_t value, uint32_t bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void md5Block(uint32_t state[4], const unsigned char block[64])
{
    static const uint32_t sines[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const uint32_t shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t words[16];
    for (int i = 0; i < 16; ++i) {
        words[i] = static_cast<uint32_t>(block[i * 4]) | static_cast<uint32_t>(block[i * 4 + 1]) << 8 |
                   static_cast<uint32_t>(block[i * 4 + 2]) << 16 | static_cast<uint32_t>(block[i * 4 + 3]) << 24;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t f = 0;
        uint32_t g = 0;
        const uint32_t round = i / 16;
        if (round == 0) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (round == 1) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (round == 2) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + rotateLeft(a + f + sines[i] + words[g], shifts[round][i % 4]);
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

void putU32(unsigned char* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

uint32_t u32(const unsigned char* data, size_t size, size_t offset, bool& ok)
{
    if (offset + 4 > size || offset + 4 < offset) {
        ok = false;
        return 0;
    }
    uint32_t value;
    std::memcpy(&value, data + offset, 4);
    return value;
}

std::string text(const unsigned char* data, size_t size, size_t offset, bool& ok)
{
    std::string result;
    for (size_t i = offset; i < size; ++i) {
        if (data[i] == 0) {
            return result;
        }
        result.push_back(static_cast<char>(data[i]));
    }
    ok = false;
    return result;
}

std::vector<SignatureElement> readSignature(const unsigned char* chunk, size_t size, bool& ok)
{
    std::vector<SignatureElement> elements;
    const uint32_t count = u32(chunk, size, 0, ok);
    for (uint32_t i = 0; ok && i < count && i < 64; ++i) {
        const size_t at = 8 + i * 24;
        SignatureElement element;
        element.semantic = text(chunk, size, u32(chunk, size, at, ok), ok);
        element.semanticIndex = u32(chunk, size, at + 4, ok);
        element.systemValue = u32(chunk, size, at + 8, ok);
        element.componentType = u32(chunk, size, at + 12, ok);
        element.reg = u32(chunk, size, at + 16, ok);
        element.mask = static_cast<uint8_t>(u32(chunk, size, at + 20, ok) & 0xFF);
        elements.push_back(element);
    }
    return elements;
}

void readResources(const unsigned char* chunk, size_t size, DxbcInfo& info, bool& ok)
{
    const uint32_t bufferCount = u32(chunk, size, 0, ok);
    const uint32_t bufferOffset = u32(chunk, size, 4, ok);
    const uint32_t bindingCount = u32(chunk, size, 8, ok);
    const uint32_t bindingOffset = u32(chunk, size, 12, ok);
    for (uint32_t i = 0; ok && i < bindingCount && i < 64; ++i) {
        const size_t at = bindingOffset + i * 32;
        ResourceBinding binding;
        binding.name = text(chunk, size, u32(chunk, size, at, ok), ok);
        binding.type = u32(chunk, size, at + 4, ok);
        binding.bindPoint = u32(chunk, size, at + 20, ok);
        binding.bindCount = u32(chunk, size, at + 24, ok);
        info.bindings.push_back(binding);
    }
    for (uint32_t i = 0; ok && i < bufferCount && i < 16; ++i) {
        const size_t at = bufferOffset + i * 24;
        ConstantBuffer buffer;
        buffer.name = text(chunk, size, u32(chunk, size, at, ok), ok);
        const uint32_t variableCount = u32(chunk, size, at + 4, ok);
        const uint32_t variableOffset = u32(chunk, size, at + 8, ok);
        buffer.size = u32(chunk, size, at + 12, ok);
        for (uint32_t v = 0; ok && v < variableCount && v < 64; ++v) {
            buffer.variables.push_back(text(chunk, size, u32(chunk, size, variableOffset + v * 24, ok), ok));
        }
        info.constantBuffers.push_back(buffer);
    }
}

}  // namespace

void dxbcChecksum(const unsigned char* container, size_t size, uint32_t out[4])
{
    // MD5 over the bytes after the checksum field, except for the final padding: the bit count
    // goes first in the last block and (bits >> 2) | 1 last, instead of a 64-bit length at the end.
    const unsigned char* data = container + 20;
    const size_t length = size - 20;
    const uint32_t bits = static_cast<uint32_t>(length * 8);
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
        putU32(block, bits);
        putU32(block + 60, (bits >> 2) | 1);
        md5Block(state, block);
    } else {
        putU32(block, bits);
        std::memcpy(block + 4, tail, rest);
        block[4 + rest] = 0x80;
        putU32(block + 60, (bits >> 2) | 1);
        md5Block(state, block);
    }
    std::memcpy(out, state, sizeof state);
}

DxbcInfo readDxbc(const unsigned char* data, size_t size)
{
    DxbcInfo info;
    bool ok = true;
    if (size < 32 || std::memcmp(data, "DXBC", 4) != 0) {
        info.error = "not a DXBC container";
        return info;
    }
    if (u32(data, size, 24, ok) != size) {
        info.error = "the container's size field does not match the blob";
        return info;
    }
    std::memcpy(info.storedChecksum, data + 4, 16);
    dxbcChecksum(data, size, info.computedChecksum);

    const uint32_t chunkCount = u32(data, size, 28, ok);
    for (uint32_t i = 0; ok && i < chunkCount && i < 32; ++i) {
        const uint32_t offset = u32(data, size, 32 + i * 4, ok);
        const uint32_t chunkSize = u32(data, size, offset + 4, ok);
        if (!ok || offset + 8 + static_cast<size_t>(chunkSize) > size) {
            ok = false;
            break;
        }
        const std::string tag(reinterpret_cast<const char*>(data + offset), 4);
        const unsigned char* chunk = data + offset + 8;
        info.chunks.push_back(tag);
        if (tag == "ISGN") {
            info.inputs = readSignature(chunk, chunkSize, ok);
        } else if (tag == "OSGN") {
            info.outputs = readSignature(chunk, chunkSize, ok);
        } else if (tag == "RDEF") {
            readResources(chunk, chunkSize, info, ok);
        } else if (tag == "SHDR" || tag == "SHEX") {
            const uint32_t version = u32(chunk, chunkSize, 0, ok);
            info.programType = version >> 16;
            info.majorVersion = (version >> 4) & 0xF;
            info.minorVersion = version & 0xF;
        }
    }
    info.valid = ok;
    if (!ok) {
        info.error = "a chunk runs past the end of the container";
    }
    return info;
}

}  // namespace GraphicsTest
