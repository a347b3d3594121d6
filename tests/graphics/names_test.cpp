// Names of the enumeration values that the swap-chain dump writes.
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

namespace {

using namespace Overlay;

TEST(DumpNames, KnownValuesHaveTheirSdkNamesOthersTheirNumber)
{
    EXPECT_EQ(featureLevelName(D3D_FEATURE_LEVEL_9_1), L"D3D_FEATURE_LEVEL_9_1");
    EXPECT_EQ(featureLevelName(D3D_FEATURE_LEVEL_11_0), L"D3D_FEATURE_LEVEL_11_0");
    EXPECT_EQ(featureLevelName(D3D_FEATURE_LEVEL_11_1), L"D3D_FEATURE_LEVEL_11_1");
    EXPECT_EQ(featureLevelName(static_cast<D3D_FEATURE_LEVEL>(0xc000)), L"49152");  // 12_0

    EXPECT_EQ(formatName(DXGI_FORMAT_UNKNOWN), L"DXGI_FORMAT_UNKNOWN");
    EXPECT_EQ(formatName(DXGI_FORMAT_R32G32B32A32_TYPELESS), L"DXGI_FORMAT_R32G32B32A32_TYPELESS");
    EXPECT_EQ(formatName(DXGI_FORMAT_R8G8B8A8_UNORM), L"DXGI_FORMAT_R8G8B8A8_UNORM");
    EXPECT_EQ(formatName(DXGI_FORMAT_D24_UNORM_S8_UINT), L"DXGI_FORMAT_D24_UNORM_S8_UINT");
    EXPECT_EQ(formatName(DXGI_FORMAT_B8G8R8A8_UNORM), L"DXGI_FORMAT_B8G8R8A8_UNORM");
    EXPECT_EQ(formatName(DXGI_FORMAT_BC7_UNORM_SRGB), L"DXGI_FORMAT_BC7_UNORM_SRGB");
    EXPECT_EQ(formatName(DXGI_FORMAT_420_OPAQUE), L"DXGI_FORMAT_420_OPAQUE");
    EXPECT_EQ(formatName(DXGI_FORMAT_B4G4R4A4_UNORM), L"DXGI_FORMAT_B4G4R4A4_UNORM");
    EXPECT_EQ(formatName(static_cast<DXGI_FORMAT>(116)), L"116");
    EXPECT_EQ(formatName(static_cast<DXGI_FORMAT>(130)), L"130");  // P208: not among the named ones
    EXPECT_EQ(formatName(DXGI_FORMAT_FORCE_UINT), L"DXGI_FORMAT_FORCE_UINT");
    EXPECT_EQ(formatName(static_cast<DXGI_FORMAT>(0xFFFFFFFE)), L"-2");

    EXPECT_EQ(scalingName(DXGI_MODE_SCALING_STRETCHED), L"DXGI_MODE_SCALING_STRETCHED");
    EXPECT_EQ(scalingName(static_cast<DXGI_MODE_SCALING>(3)), L"3");
    EXPECT_EQ(scanlineOrderName(DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST),
              L"DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST");
    EXPECT_EQ(scanlineOrderName(static_cast<DXGI_MODE_SCANLINE_ORDER>(-1)), L"-1");
    EXPECT_EQ(swapEffectName(DXGI_SWAP_EFFECT_DISCARD), L"DXGI_SWAP_EFFECT_DISCARD");
    EXPECT_EQ(swapEffectName(DXGI_SWAP_EFFECT_SEQUENTIAL), L"DXGI_SWAP_EFFECT_SEQUENTIAL");
    EXPECT_EQ(swapEffectName(static_cast<DXGI_SWAP_EFFECT>(3)), L"DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL");
    EXPECT_EQ(swapEffectName(static_cast<DXGI_SWAP_EFFECT>(4)), L"4");  // FLIP_DISCARD
    EXPECT_EQ(swapEffectName(static_cast<DXGI_SWAP_EFFECT>(2)), L"2");
}

TEST(DumpNames, EveryFormatUpToB4G4R4A4HasAName)
{
    for (uint32_t value = 0; value <= 115; ++value) {
        const std::wstring name = formatName(static_cast<DXGI_FORMAT>(value));
        EXPECT_EQ(name.rfind(L"DXGI_FORMAT_", 0), 0u) << value;
    }
}

}  // namespace
