#pragma once
// A stand-in for a device made with D3DCREATE_PUREDEVICE, which Wine does not enforce: while the
// object lives, a real Direct3D 9 device (not 9Ex) refuses the reads of state that such a device
// refuses on Windows, with D3DERR_INVALIDCALL. Its method table is swapped for a copy that differs
// in those methods.

struct IDirect3DDevice9;

class PureDevice
{
public:
    explicit PureDevice(IDirect3DDevice9* device);
    ~PureDevice();
    PureDevice(const PureDevice&) = delete;
    PureDevice& operator=(const PureDevice&) = delete;

private:
    IDirect3DDevice9* device_;
    const void* realTable_;
};
