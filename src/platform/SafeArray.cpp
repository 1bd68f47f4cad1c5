// SAFEARRAY with the Windows layout: the descriptor holds the bounds (rightmost dimension
// first), the element size and a lock count; the element type sits just before the descriptor
// (FADF_HAVEVARTYPE). Data is a separate block.
#include <korvane/KorvanePlatform.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct Block {
  alignas(8) uint32_t vt;  // read back through the 4 bytes before the descriptor
  SAFEARRAY sa;            // followed by cDims-1 further bounds
};
static_assert(offsetof(Block, sa) - sizeof(uint32_t) >= offsetof(Block, vt));

Block* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<Block*>(reinterpret_cast<char*>(psa) - offsetof(Block, sa)); }

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR:
    case VT_INT:
    case VT_UINT: return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8: return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    case VT_DECIMAL: return 16;
    default: return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  USHORT f = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) f |= FADF_BSTR;
  if (vt == VT_UNKNOWN) f |= FADF_UNKNOWN;
  if (vt == VT_DISPATCH) f |= FADF_DISPATCH;
  if (vt == VT_VARIANT) f |= FADF_VARIANT;
  return f;
}

std::size_t CellCount(const SAFEARRAY* psa) {
  std::size_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) n *= psa->rgsabound[i].cElements;
  return n;
}

SAFEARRAY* Allocate(VARTYPE vt, UINT cDims) {
  const std::size_t size = sizeof(Block) + (cDims > 1 ? (cDims - 1) * sizeof(SAFEARRAYBOUND) : 0);
  auto* b = static_cast<Block*>(std::calloc(1, size));
  if (!b) return nullptr;
  b->vt = vt;
  b->sa.cDims = static_cast<USHORT>(cDims);
  b->sa.fFeatures = FeaturesOf(vt);
  b->sa.cbElements = ElementSize(vt);
  return &b->sa;
}

HRESULT AllocateData(SAFEARRAY* psa) {
  const std::size_t cells = CellCount(psa);
  if (cells && psa->cbElements > SIZE_MAX / cells) return E_OUTOFMEMORY;
  // Never null, so an empty array can still be accessed like a full one.
  psa->pvData = std::calloc(cells ? cells : 1, psa->cbElements);
  return psa->pvData ? S_OK : E_OUTOFMEMORY;
}

void ClearCells(SAFEARRAY* psa) {
  if (!psa->pvData) return;
  const std::size_t cells = CellCount(psa);
  if (psa->fFeatures & FADF_BSTR) {
    auto* p = static_cast<BSTR*>(psa->pvData);
    for (std::size_t i = 0; i < cells; ++i) SysFreeString(p[i]), p[i] = nullptr;
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* p = static_cast<IUnknown**>(psa->pvData);
    for (std::size_t i = 0; i < cells; ++i)
      if (p[i]) p[i]->Release(), p[i] = nullptr;
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* p = static_cast<VARIANT*>(psa->pvData);
    for (std::size_t i = 0; i < cells; ++i) VariantClear(&p[i]);
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (cDims == 0 || !rgsabound || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* psa = Allocate(vt, cDims);
  if (!psa) return nullptr;
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[cDims - 1 - i] = rgsabound[i];
  if (FAILED(AllocateData(psa))) {
    std::free(BlockOf(psa));
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  ClearCells(psa);
  std::free(psa->pvData);
  std::free(BlockOf(psa));
  return S_OK;
}

static HRESULT Bound(SAFEARRAY* psa, UINT nDim, LONG* out, bool upper) {
  if (!psa || !out) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
  *out = upper ? b.lLbound + static_cast<LONG>(b.cElements) - 1 : b.lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) { return Bound(psa, nDim, plUbound, true); }
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) { return Bound(psa, nDim, plLbound, false); }
UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  __atomic_add_fetch(&psa->cLocks, 1, __ATOMIC_ACQ_REL);
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_ACQUIRE);
  do {
    if (locks == 0) return E_UNEXPECTED;
  } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  SafeArrayLock(psa);
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    *pvt = static_cast<VARTYPE>(BlockOf(psa)->vt);
    return S_OK;
  }
  return E_INVALIDARG;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  SAFEARRAY* out = Allocate(static_cast<VARTYPE>(BlockOf(psa)->vt), psa->cDims);
  if (!out) return E_OUTOFMEMORY;
  out->fFeatures = psa->fFeatures;
  out->cbElements = psa->cbElements;
  for (USHORT i = 0; i < psa->cDims; ++i) out->rgsabound[i] = psa->rgsabound[i];
  if (FAILED(AllocateData(out))) {
    std::free(BlockOf(out));
    return E_OUTOFMEMORY;
  }
  const std::size_t cells = CellCount(psa);
  HRESULT hr = S_OK;
  if (psa->fFeatures & FADF_BSTR) {
    auto* src = static_cast<BSTR*>(psa->pvData);
    auto* dst = static_cast<BSTR*>(out->pvData);
    for (std::size_t i = 0; i < cells && SUCCEEDED(hr); ++i) {
      if (!src[i]) continue;
      dst[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src[i]), SysStringByteLen(src[i]));
      if (!dst[i]) hr = E_OUTOFMEMORY;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* src = static_cast<IUnknown**>(psa->pvData);
    auto* dst = static_cast<IUnknown**>(out->pvData);
    for (std::size_t i = 0; i < cells; ++i)
      if ((dst[i] = src[i])) dst[i]->AddRef();
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* src = static_cast<VARIANT*>(psa->pvData);
    auto* dst = static_cast<VARIANT*>(out->pvData);
    for (std::size_t i = 0; i < cells && SUCCEEDED(hr); ++i) hr = VariantCopy(&dst[i], &src[i]);
  } else if (cells) {
    std::memcpy(out->pvData, psa->pvData, cells * psa->cbElements);
  }
  if (FAILED(hr)) {
    SafeArrayDestroy(out);
    return hr;
  }
  *ppsaOut = out;
  return S_OK;
}
