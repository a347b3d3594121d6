#pragma once
// Reads the parts of a DXBC shader container that the graphics tests check: the container checksum
// (recomputed here, independently of the compiler that wrote it), the input and output signatures,
// the resource bindings and the shader version.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace GraphicsTest {

struct SignatureElement
{
    std::string semantic;
    uint32_t semanticIndex = 0;
    uint32_t systemValue = 0;
    uint32_t componentType = 0;
    uint32_t reg = 0;
    uint8_t mask = 0;
};

struct ResourceBinding
{
    std::string name;
    uint32_t type = 0;  // D3D_SHADER_INPUT_TYPE: 0 constant buffer, 2 texture, 3 sampler
    uint32_t bindPoint = 0;
    uint32_t bindCount = 0;
};

struct ConstantBuffer
{
    std::string name;
    uint32_t size = 0;
    std::vector<std::string> variables;
};

struct DxbcInfo
{
    bool valid = false;
    std::string error;
    uint32_t storedChecksum[4] = {};
    uint32_t computedChecksum[4] = {};
    std::vector<std::string> chunks;
    std::vector<SignatureElement> inputs;
    std::vector<SignatureElement> outputs;
    std::vector<ResourceBinding> bindings;
    std::vector<ConstantBuffer> constantBuffers;
    uint32_t programType = 0xFFFF;  // 0 pixel, 1 vertex
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
};

// The checksum of a DXBC container of `size` bytes (computed over everything after the 20-byte
// magic and checksum field).
void dxbcChecksum(const unsigned char* container, size_t size, uint32_t out[4]);

DxbcInfo readDxbc(const unsigned char* data, size_t size);

}  // namespace GraphicsTest
