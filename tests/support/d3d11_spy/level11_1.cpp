// The spy's stand-in for a device of feature level 11_1 (see SpyState::featureLevel11_1): the real
// device and its immediate context with method tables of their own, which differ in four methods.
// Written against the C view of the interfaces, whose method tables are structures.
#define CINTERFACE
#include <d3d11_2.h>

#include <algorithm>

namespace {

const UINT ownSlots = D3D11_PS_CS_UAV_REGISTER_COUNT;  // the slots the real context keeps

const ID3D11Device2Vtbl* realDevice = nullptr;
const ID3D11DeviceContext1Vtbl* realContext = nullptr;
ID3D11Device2Vtbl deviceTable;
ID3D11DeviceContext1Vtbl contextTable;
ID3D11UnorderedAccessView* kept[D3D11_1_UAV_SLOT_COUNT] = {};  // slots 8 to 63

void keep(UINT slot, ID3D11UnorderedAccessView* view)
{
    if (view) {
        view->lpVtbl->AddRef(view);
    }
    if (kept[slot]) {
        kept[slot]->lpVtbl->Release(kept[slot]);
    }
    kept[slot] = view;
}

D3D_FEATURE_LEVEL STDMETHODCALLTYPE featureLevel(ID3D11Device2*)
{
    return D3D_FEATURE_LEVEL_11_1;
}

// Render targets alone unbind every view.
void STDMETHODCALLTYPE setTargets(ID3D11DeviceContext1* context, UINT count, ID3D11RenderTargetView* const* targets,
                                  ID3D11DepthStencilView* depth)
{
    realContext->OMSetRenderTargets(context, count, targets, depth);
    for (UINT slot = ownSlots; slot < D3D11_1_UAV_SLOT_COUNT; ++slot) {
        keep(slot, nullptr);
    }
}

// The views from slot 8 on are kept here, every other slot unbound.
void STDMETHODCALLTYPE setTargetsAndViews(ID3D11DeviceContext1* context, UINT count,
                                          ID3D11RenderTargetView* const* targets, ID3D11DepthStencilView* depth,
                                          UINT start, UINT viewCount, ID3D11UnorderedAccessView* const* views,
                                          const UINT* counters)
{
    const UINT own = start < ownSlots ? std::min(viewCount, ownSlots - start) : 0;
    realContext->OMSetRenderTargetsAndUnorderedAccessViews(context, count, targets, depth, std::min(start, ownSlots),
                                                           own, views, counters);
    for (UINT slot = ownSlots; slot < D3D11_1_UAV_SLOT_COUNT; ++slot) {
        keep(slot, slot >= start && slot - start < viewCount ? views[slot - start] : nullptr);
    }
}

void STDMETHODCALLTYPE getTargetsAndViews(ID3D11DeviceContext1* context, UINT count, ID3D11RenderTargetView** targets,
                                          ID3D11DepthStencilView** depth, UINT start, UINT viewCount,
                                          ID3D11UnorderedAccessView** views)
{
    const UINT own = start < ownSlots ? std::min(viewCount, ownSlots - start) : 0;
    realContext->OMGetRenderTargetsAndUnorderedAccessViews(context, count, targets, depth, std::min(start, ownSlots),
                                                           own, views);
    for (UINT i = own; views && i < viewCount && start + i < D3D11_1_UAV_SLOT_COUNT; ++i) {
        views[i] = kept[start + i];
        if (views[i]) {
            views[i]->lpVtbl->AddRef(views[i]);
        }
    }
}

}  // namespace

extern "C" void spyLevel11_1(void* created)
{
    auto* device = static_cast<ID3D11Device2*>(created);
    for (UINT slot = 0; slot < D3D11_1_UAV_SLOT_COUNT; ++slot) {
        keep(slot, nullptr);
    }
    realDevice = device->lpVtbl;
    deviceTable = *realDevice;
    deviceTable.GetFeatureLevel = featureLevel;
    device->lpVtbl = &deviceTable;

    ID3D11DeviceContext* context = nullptr;
    device->lpVtbl->GetImmediateContext(device, &context);
    realContext = reinterpret_cast<const ID3D11DeviceContext1Vtbl*>(context->lpVtbl);
    contextTable = *realContext;
    contextTable.OMSetRenderTargets = setTargets;
    contextTable.OMSetRenderTargetsAndUnorderedAccessViews = setTargetsAndViews;
    contextTable.OMGetRenderTargetsAndUnorderedAccessViews = getTargetsAndViews;
    context->lpVtbl = reinterpret_cast<ID3D11DeviceContextVtbl*>(&contextTable);
    context->lpVtbl->Release(context);
}
