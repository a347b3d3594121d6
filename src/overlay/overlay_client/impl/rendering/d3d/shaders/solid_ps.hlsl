// Solid quad: every pixel gets the fill colour (blended by the output merger).
cbuffer ConstBuffer : register(b0)
{
    float4 color;
};

float4 main() : SV_Target
{
    return color;
}
