#pragma once
// Where the DXGI hooks patch: the method tables of the swap chains, factories and Direct3D 12 command
// queues of this process, read from throw-away objects. Every object of a class shares its table,
// so the game's own objects, made before or after, run the code read here.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Overlay {
namespace DxgiMethod {
// IDXGISwapChain, IDXGISwapChain1 and IDXGISwapChain3.
constexpr std::size_t present = 8;
constexpr std::size_t resizeBuffers = 13;
constexpr std::size_t resizeTarget = 14;
constexpr std::size_t swapChainCount = 18;
constexpr std::size_t present1 = 22;
constexpr std::size_t resizeBuffers1 = 39;
// IDXGIFactory and IDXGIFactory2.
constexpr std::size_t createSwapChain = 10;
constexpr std::size_t createSwapChainForHwnd = 15;
constexpr std::size_t createSwapChainForCoreWindow = 16;
constexpr std::size_t createSwapChainForComposition = 24;
// ID3D12CommandQueue.
constexpr std::size_t executeCommandLists = 10;
}  // namespace DxgiMethod

// The exported function's code; throws, naming it, when the module has none.
void* procAddress(HMODULE module, const char* name);

// The first 18 entries of a swap chain's method table, and IDXGISwapChain1's first 23 where the swap
// chain has them, read from a throw-away device and swap chain made with the given modules (the
// hardware driver first, then the others, then each adapter).
std::vector<void*> readSwapChain1Methods(HMODULE dxgiModule, HMODULE d3d11Module);

// A throw-away DXGI factory's first 25 methods; the first 11 where it has no IDXGIFactory2. Throws
// when none can be made.
std::vector<void*> readFactoryMethods(HMODULE dxgiModule);

// What the Direct3D 12 hooks patch, read from a throw-away device, queue and swap chain: the swap
// chain's first 40 methods and the queue's first 11. Throws when one cannot be made.
struct D3D12Methods
{
    std::vector<void*> swapChain;
    std::vector<void*> queue;
};
D3D12Methods readD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module);

// Every table the DXGI hooks patch. d3d12 is empty where Direct3D 12 is not loaded yet (see
// readLateD3D12Methods) or cannot be had (d3d12Error says why): Direct3D 11 games are served as
// before.
struct DxgiMethods
{
    std::vector<void*> swapChain;  // readSwapChain1Methods
    std::vector<void*> factory;
    std::optional<D3D12Methods> d3d12;
    std::string d3d12Error;
};
// Reads every table, Direct3D 12's where the game has loaded `d3d12Name`. Under Wine a game that
// has may be presenting right now, and our throw-away Direct3D 12 objects must not be made
// meanwhile (see present_gate.h): its presentation waits for them, once. Throws when the swap
// chain's or the factory's table cannot be read.
DxgiMethods readDxgiMethods(HMODULE dxgiModule, HMODULE d3d11Module, const wchar_t* d3d12Name);
// Direct3D 12's tables once the game has loaded it, its presentation held as above. Throws when
// they cannot be read.
D3D12Methods readLateD3D12Methods(HMODULE dxgiModule, HMODULE d3d12Module);

}  // namespace Overlay
