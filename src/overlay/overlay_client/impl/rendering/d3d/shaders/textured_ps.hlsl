// Textured quad: the overlay frame, sampled at the interpolated texture coordinate.
Texture2D<float4> tex : register(t0);
SamplerState samplerTex : register(s0);

float4 main(float4 position : SV_POSITION, float2 texcoord : TEXCOORD) : SV_Target
{
    return tex.Sample(samplerTex, texcoord);
}
