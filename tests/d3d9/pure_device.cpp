// Written against the C view of the interface, whose method table is a structure.
#define CINTERFACE
#include "pure_device.h"

#include <d3d9.h>

namespace {

template <class... Args>
HRESULT STDMETHODCALLTYPE refused(IDirect3DDevice9*, Args...)
{
    return D3DERR_INVALIDCALL;
}

IDirect3DDevice9Vtbl pureTable;

}  // namespace

PureDevice::PureDevice(IDirect3DDevice9* device) : device_(device), realTable_(device->lpVtbl)
{
    pureTable = *device->lpVtbl;
    pureTable.GetFVF = refused;
    pureTable.GetRenderState = refused;
    pureTable.GetTextureStageState = refused;
    pureTable.GetSamplerState = refused;
    pureTable.GetTransform = refused;
    pureTable.GetMaterial = refused;
    pureTable.GetLight = refused;
    pureTable.GetLightEnable = refused;
    pureTable.GetClipPlane = refused;
    pureTable.GetVertexShaderConstantF = refused;
    pureTable.GetVertexShaderConstantI = refused;
    pureTable.GetVertexShaderConstantB = refused;
    pureTable.GetPixelShaderConstantF = refused;
    pureTable.GetPixelShaderConstantI = refused;
    pureTable.GetPixelShaderConstantB = refused;
    device_->lpVtbl = &pureTable;
}

PureDevice::~PureDevice()
{
    device_->lpVtbl = const_cast<IDirect3DDevice9Vtbl*>(static_cast<const IDirect3DDevice9Vtbl*>(realTable_));
}
