// Textured quad: position and texture coordinate pass through unchanged.
struct VertexOut
{
    float4 position : SV_POSITION;
    float2 texcoord : TEXCOORD;
};

VertexOut main(float4 position : POSITION, float2 texcoord : TEXCOORD)
{
    VertexOut result;
    result.position = position;
    result.texcoord = texcoord;
    return result;
}
