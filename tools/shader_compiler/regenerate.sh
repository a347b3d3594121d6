#!/usr/bin/env bash
# Regenerates the overlay's Direct3D 11 shader header (d3d11_shaders.h) from the HLSL sources next to it.
# Run after changing one of them; commit the header with the source. Needs a configured build folder.
#   tools/shader_compiler/regenerate.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
build=${OVERLAY_BUILD_DIR:-$root/build}
cmake --build "$build" --target shader_compiler >/dev/null
dir=src/overlay/overlay_client/impl/rendering/d3d/d3d11/shaders
"$root/scripts/with-wine.sh" "$build/wine-prefix" wine "$build/tools/shader_compiler/shader_compiler.exe" \
  "$dir/d3d11_shaders.h" Overlay::Rendering::D3D11Shaders \
  "solidVertexShader=$dir/solid_vs.hlsl:vs_4_0" \
  "solidPixelShader=$dir/solid_ps.hlsl:ps_4_0" \
  "texturedVertexShader=$dir/textured_vs.hlsl:vs_4_0" \
  "texturedPixelShader=$dir/textured_ps.hlsl:ps_4_0"
