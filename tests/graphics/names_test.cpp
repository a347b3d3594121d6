// Names of the enumeration values that the swap-chain dump writes.
#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <gtest/gtest.h>

namespace {

using namespace Overlay;

TEST(DumpNames, KnownValuesHaveTheirSdkNamesOthersTheirNumber)
{
    const std::pair<std::wstring, std::wstring> cases[] = {
        {featureLevelName(D3D_FEATURE_LEVEL_9_1), L"D3D_FEATURE_LEVEL_9_1"},
        {featureLevelName(static_cast<D3D_FEATURE_LEVEL>(0xc000)), L"49152"},  // 12_0
        {formatName(DXGI_FORMAT_B4G4R4A4_UNORM), L"DXGI_FORMAT_B4G4R4A4_UNORM"},
        {formatName(static_cast<DXGI_FORMAT>(130)), L"130"},  // P208: not among the named ones
        {formatName(DXGI_FORMAT_FORCE_UINT), L"DXGI_FORMAT_FORCE_UINT"},
        {formatName(static_cast<DXGI_FORMAT>(0xFFFFFFFE)), L"-2"},
        {scalingName(static_cast<DXGI_MODE_SCALING>(3)), L"3"},
        {scanlineOrderName(DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST), L"DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST"},
        {scanlineOrderName(static_cast<DXGI_MODE_SCANLINE_ORDER>(-1)), L"-1"},
        {swapEffectName(static_cast<DXGI_SWAP_EFFECT>(3)), L"DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL"},
        {swapEffectName(static_cast<DXGI_SWAP_EFFECT>(2)), L"2"},
    };
    for (const auto& named : cases) {
        EXPECT_EQ(named.first, named.second);
    }
}

}  // namespace
