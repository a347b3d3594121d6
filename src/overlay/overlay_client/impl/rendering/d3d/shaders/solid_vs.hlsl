// Solid quad: the clip-space corners pass through unchanged; the viewport places and stretches the quad.
float4 main(float4 position : POSITION) : SV_POSITION
{
    return position;
}
