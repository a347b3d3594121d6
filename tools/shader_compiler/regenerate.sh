#!/usr/bin/env bash
# Regenerates the overlay's shader headers from the HLSL sources in rendering/d3d/shaders, which
# Direct3D 11 and 12 share: d3d11/shaders/d3d11_shaders.h (shader model 4.0) and
# d3d12/shaders/d3d12_shaders.h (shader model 5.0).
# Run after changing one of them; commit the headers with the source. Needs a configured build folder.
#   tools/shader_compiler/regenerate.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
build=${OVERLAY_BUILD_DIR:-$root/build}
cmake --build "$build" --target shader_compiler >/dev/null
dir=src/overlay/overlay_client/impl/rendering/d3d/shaders
dir11=src/overlay/overlay_client/impl/rendering/d3d/d3d11/shaders
dir12=src/overlay/overlay_client/impl/rendering/d3d/d3d12/shaders
mkdir -p "$dir11" "$dir12"
"$root/scripts/with-wine.sh" "$build/wine-prefix" wine "$build/tools/shader_compiler/shader_compiler.exe" \
  "$dir11/d3d11_shaders.h" Overlay::Rendering::D3D11Shaders \
  "solidVertexShader=$dir/solid_vs.hlsl:vs_4_0" \
  "solidPixelShader=$dir/solid_ps.hlsl:ps_4_0" \
  "texturedVertexShader=$dir/textured_vs.hlsl:vs_4_0" \
  "texturedPixelShader=$dir/textured_ps.hlsl:ps_4_0"
"$root/scripts/with-wine.sh" "$build/wine-prefix" wine "$build/tools/shader_compiler/shader_compiler.exe" \
  "$dir12/d3d12_shaders.h" Overlay::Rendering::D3D12Shaders \
  "solidVertexShader=$dir/solid_vs.hlsl:vs_5_0" \
  "solidPixelShader=$dir/solid_ps.hlsl:ps_5_0" \
  "texturedVertexShader=$dir/textured_vs.hlsl:vs_5_0" \
  "texturedPixelShader=$dir/textured_ps.hlsl:ps_5_0"
