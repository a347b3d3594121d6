// The embedded Direct3D 11 shader blobs: shader model 4.0 containers whose checksums are right (real
// Windows refuses a blob whose checksum is wrong), generated from the current HLSL sources.
#include "dxbc_checksum.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d11/shaders/d3d11_shaders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using GraphicsTest::dxbcChecksum;
using Overlay::Rendering::D3D11Shaders::allShaderBlobs;

TEST(ShaderBlobs, CorrectChecksumsAndGeneratedFromTheCurrentSources)
{
    ASSERT_EQ(std::size(allShaderBlobs), 4u);
    for (const auto& entry : allShaderBlobs) {
        SCOPED_TRACE(entry.name);
        const bool vertex = std::string(entry.name).find("Vertex") != std::string::npos;
        EXPECT_EQ(std::string(entry.profile), vertex ? "vs_4_0" : "ps_4_0");
        EXPECT_EQ(std::memcmp(entry.code, "DXBC", 4), 0);
        uint32_t checksum[4];
        dxbcChecksum(entry.code, entry.size, checksum);
        EXPECT_EQ(std::memcmp(checksum, entry.code + 4, 16), 0);

        std::ifstream in(std::string(OVERLAY_SHADER_SOURCE_DIR) + "/" + entry.sourceFile, std::ios::binary);
        ASSERT_TRUE(in.good()) << entry.sourceFile;
        std::stringstream text;
        text << in.rdbuf();
        // FNV-1a over the source without carriage returns.
        uint64_t hash = 0xcbf29ce484222325ull;
        for (unsigned char c : text.str()) {
            hash = c == '\r' ? hash : (hash ^ c) * 0x100000001b3ull;
        }
        EXPECT_EQ(hash, entry.sourceHash) << entry.sourceFile << " changed: run tools/shader_compiler/regenerate.sh";
    }
}

}  // namespace
