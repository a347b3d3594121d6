#pragma once
// Command line of the Direct3D 11 demo game: the shared options and its own.

#include "common_options.h"

#include <d3d11.h>
#include <dxgi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Demo {

struct Options : DemoCommon::CommonOptions
{
    DXGI_SWAP_EFFECT swapEffect = DXGI_SWAP_EFFECT_DISCARD;
    // 0 picks the smallest count the swap effect allows (1 for blit effects, 2 for flip effects).
    uint32_t bufferCount = 0;
    DXGI_FORMAT format = DXGI_FORMAT_R8G8B8A8_UNORM;
    // Create the device with D3D11CreateDevice and the swap chains through the DXGI factory instead of
    // D3D11CreateDeviceAndSwapChain.
    bool factorySwapChain = false;
    // Ask for D3D11_CREATE_DEVICE_BGRA_SUPPORT ourselves.
    bool bgraDevice = false;
    // Highest feature level to ask for; 0 lets the runtime choose.
    D3D_FEATURE_LEVEL maxFeatureLevel = static_cast<D3D_FEATURE_LEVEL>(0);
    // Number of windows, each with its own swap chain on the one device.
    uint32_t windows = 1;
    // Compare the pipeline state bound at the start of every frame with what the game set.
    bool checkState = true;
    // Programs that drive the game in-process may make the device and swap chain with another
    // function of D3D11CreateDeviceAndSwapChain's type; null means D3D11's own.
    decltype(&D3D11CreateDeviceAndSwapChain) createDeviceAndSwapChain = nullptr;
};

// Parses the arguments (without the program name). Returns false and fills `error` on bad input.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

std::string usageText();

// Buffer count actually used for the options (resolves 0).
uint32_t effectiveBufferCount(const Options& options);

}  // namespace Demo
