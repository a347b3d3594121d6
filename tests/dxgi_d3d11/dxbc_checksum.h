#pragma once
// The checksum of DXBC shader containers, computed independently of the compiler that wrote them.

#include <cstddef>
#include <cstdint>

namespace GraphicsTest {

// The checksum of a DXBC container of `size` bytes: over everything after the 20-byte magic and
// checksum field.
void dxbcChecksum(const unsigned char* container, size_t size, uint32_t out[4]);

}  // namespace GraphicsTest
