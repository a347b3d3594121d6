// The embedded Direct3D 11 shader blobs: valid containers with correct checksums (real Windows
// refuses a blob whose checksum is wrong), the signatures, names and registers the renderer binds,
// and headers generated from the current HLSL sources.
#include "dxbc_reader.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/shaders/d3d11_shaders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using GraphicsTest::DxbcInfo;
using GraphicsTest::readDxbc;
using Overlay::Rendering::D3D11Shaders::ShaderBlob;
using Overlay::Rendering::D3D11Shaders::allShaderBlobs;

struct Binding
{
    const char* name;
    uint32_t type;
    uint32_t bindPoint;
};

struct Expected
{
    const char* name;
    uint32_t programType;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::vector<Binding> bindings;
};

const ShaderBlob& blob(const std::string& name)
{
    for (const auto& entry : allShaderBlobs) {
        if (name == entry.name) {
            return entry;
        }
    }
    throw std::runtime_error("no blob " + name);
}

std::vector<std::string> semantics(const std::vector<GraphicsTest::SignatureElement>& elements)
{
    std::vector<std::string> names;
    for (const auto& element : elements) {
        names.push_back(element.semantic);
    }
    return names;
}

uint64_t sourceHash(const std::string& text)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        if (c != '\r') {
            hash = (hash ^ c) * 0x100000001b3ull;
        }
    }
    return hash;
}

TEST(ShaderBlobs, ChecksumsMatchAnIndependentComputation)
{
    ASSERT_EQ(std::size(allShaderBlobs), 4u);
    for (const auto& entry : allShaderBlobs) {
        const DxbcInfo info = readDxbc(entry.code, entry.size);
        ASSERT_TRUE(info.valid) << entry.name << ": " << info.error;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(info.storedChecksum[i], info.computedChecksum[i]) << entry.name << " word " << i;
        }
    }
}

TEST(ShaderBlobs, ChecksumNoticesAChangedByte)
{
    for (const auto& entry : allShaderBlobs) {
        for (size_t at : {size_t{20}, entry.size / 2, entry.size - 1}) {
            std::vector<unsigned char> copy(entry.code, entry.code + entry.size);
            copy[at] ^= 0x01;
            const DxbcInfo info = readDxbc(copy.data(), copy.size());
            EXPECT_NE(0, std::memcmp(info.storedChecksum, info.computedChecksum, 16)) << entry.name << " byte " << at;
        }
    }
}

TEST(ShaderBlobs, SignaturesNamesAndRegisters)
{
    const Expected expected[] = {
        {"solidVertexShader", 1, {"POSITION"}, {"SV_POSITION"}, {}},
        {"solidPixelShader", 0, {}, {"SV_Target"}, {{"ConstBuffer", 0, 0}}},
        {"texturedVertexShader", 1, {"POSITION", "TEXCOORD"}, {"SV_POSITION", "TEXCOORD"}, {}},
        {"texturedPixelShader", 0, {"SV_POSITION", "TEXCOORD"}, {"SV_Target"}, {{"samplerTex", 3, 0}, {"tex", 2, 0}}},
    };
    for (const auto& want : expected) {
        SCOPED_TRACE(want.name);
        const ShaderBlob& entry = blob(want.name);
        const DxbcInfo info = readDxbc(entry.code, entry.size);
        ASSERT_TRUE(info.valid) << info.error;
        EXPECT_EQ(info.programType, want.programType);
        EXPECT_EQ(info.majorVersion, 4u);
        EXPECT_EQ(info.minorVersion, 0u);
        EXPECT_EQ(std::string(entry.profile), std::string(want.programType == 1 ? "vs_4_0" : "ps_4_0"));
        EXPECT_EQ(semantics(info.inputs), want.inputs);
        EXPECT_EQ(semantics(info.outputs), want.outputs);
        ASSERT_EQ(info.bindings.size(), want.bindings.size());
        for (const auto& binding : want.bindings) {
            bool found = false;
            for (const auto& actual : info.bindings) {
                if (actual.name == binding.name) {
                    found = true;
                    EXPECT_EQ(actual.type, binding.type) << binding.name;
                    EXPECT_EQ(actual.bindPoint, binding.bindPoint) << binding.name;
                    EXPECT_EQ(actual.bindCount, 1u) << binding.name;
                }
            }
            EXPECT_TRUE(found) << binding.name;
        }
    }
    // The fill colour: one float4 "color" in a 16-byte constant buffer.
    const ShaderBlob& solid = blob("solidPixelShader");
    const DxbcInfo info = readDxbc(solid.code, solid.size);
    ASSERT_EQ(info.constantBuffers.size(), 1u);
    EXPECT_EQ(info.constantBuffers[0].name, "ConstBuffer");
    EXPECT_EQ(info.constantBuffers[0].size, 16u);
    EXPECT_EQ(info.constantBuffers[0].variables, std::vector<std::string>{"color"});
}

TEST(ShaderBlobs, GeneratedFromTheCurrentSources)
{
    for (const auto& entry : allShaderBlobs) {
        const std::string path = std::string(OVERLAY_SHADER_SOURCE_DIR) + "/" + entry.sourceFile;
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in.good()) << path;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(sourceHash(text.str()), entry.sourceHash)
            << entry.sourceFile << " changed: run tools/shader_compiler/regenerate.sh";
    }
}

}  // namespace
