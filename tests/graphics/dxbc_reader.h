#pragma once
// The parts of a DXBC shader container that the graphics tests check, read independently of the
// compiler that wrote it.

#include <cstddef>
#include <cstdint>

namespace GraphicsTest {

// The checksum of a DXBC container of `size` bytes (computed over everything after the 20-byte
// magic and checksum field).
void dxbcChecksum(const unsigned char* container, size_t size, uint32_t out[4]);

// The version token of the container's shader code (program type in the high 16 bits, then major
// and minor version in 4 bits each); 0 when the container is malformed or holds no code.
uint32_t dxbcVersion(const unsigned char* container, size_t size);

}  // namespace GraphicsTest
