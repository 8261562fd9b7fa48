// Attribute sets (MFCreateAttributes) and media types (MFCreateMediaType).
#include <mutex>
#include <unordered_set>
#include <vector>

#include "attribute_store.h"
#include "media_type_registry.h"

namespace kx::mf {
namespace {

class Attributes final : public AttributesOf<IMFAttributes> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceOf<Attributes, IMFAttributes>(this, riid, ppv);
  }
};

bool IsIgnoredForFormatData(REFGUID key) {
  return key == MF_MT_USER_DATA || key == MF_MT_FRAME_RATE_RANGE_MIN || key == MF_MT_FRAME_RATE_RANGE_MAX;
}

const AttributeItem* FindItem(const std::vector<AttributeItem>& items, REFGUID key) {
  for (const AttributeItem& item : items) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

// Both absent, or both present and equal.
bool SameOrBothAbsent(const std::vector<AttributeItem>& a, const std::vector<AttributeItem>& b, REFGUID key) {
  const AttributeItem* x = FindItem(a, key);
  const AttributeItem* y = FindItem(b, key);
  if (x == nullptr || y == nullptr) return x == y;
  return VariantsEqual(*x->value, *y->value);
}

// Every live MediaType. Registration happens before the creator sees the
// object; removal when its count reaches zero, under the same lock that a
// check takes, so a checked pointer is never one being destroyed.
std::mutex registryMutex;
std::unordered_set<const IMFMediaType*>& Registry() {
  static auto* registry = new std::unordered_set<const IMFMediaType*>();  // outlives every static destructor
  return *registry;
}

class MediaType final : public AttributesOf<IMFMediaType> {
 public:
  // Registered by MFCreateMediaType, which also handles a failed insertion.
  ULONG STDMETHODCALLTYPE Release() override {
    std::unique_lock<std::mutex> lock(registryMutex);
    const ULONG left = AttributesOf<IMFMediaType>::ReleaseKeepAlive();
    if (left != 0) return left;
    Registry().erase(this);
    lock.unlock();
    delete this;
    return 0;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceOf<MediaType, IMFMediaType, IMFAttributes>(this, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE GetMajorType(GUID* pguidMajorType) override {
    return store_.GetGUID(MF_MT_MAJOR_TYPE, pguidMajorType);
  }

  // Temporal compression unless every sample is independent.
  HRESULT STDMETHODCALLTYPE IsCompressedFormat(BOOL* pfCompressed) override {
    if (pfCompressed == nullptr) return E_POINTER;
    UINT32 independent = 0;
    *pfCompressed = FAILED(store_.GetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, &independent)) || independent == 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE IsEqual(IMFMediaType* pIMediaType, DWORD* pdwFlags) override {
    if (pdwFlags == nullptr) return E_POINTER;
    *pdwFlags = 0;
    if (pIMediaType == nullptr) return E_INVALIDARG;
    std::vector<AttributeItem> ours;
    std::vector<AttributeItem> theirs;
    HRESULT hr = store_.Snapshot(&ours);
    if (SUCCEEDED(hr)) hr = SnapshotAttributes(pIMediaType, &theirs);
    if (FAILED(hr)) return hr;

    // Both types need a major type.
    const AttributeItem* ourMajor = FindItem(ours, MF_MT_MAJOR_TYPE);
    const AttributeItem* theirMajor = FindItem(theirs, MF_MT_MAJOR_TYPE);
    if (ourMajor == nullptr || theirMajor == nullptr || ourMajor->value->vt != VT_CLSID ||
        theirMajor->value->vt != VT_CLSID) {
      return E_INVALIDARG;
    }
    DWORD flags = 0;
    if (VariantsEqual(*ourMajor->value, *theirMajor->value)) flags |= MF_MEDIATYPE_EQUAL_MAJOR_TYPES;
    if (SameOrBothAbsent(ours, theirs, MF_MT_SUBTYPE)) flags |= MF_MEDIATYPE_EQUAL_FORMAT_TYPES;
    if (SameOrBothAbsent(ours, theirs, MF_MT_USER_DATA)) flags |= MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;

    // Format data: every attribute of the type with fewer attributes is in the
    // other with the same value, user data and frame-rate range aside.
    const std::vector<AttributeItem>& smaller = ours.size() <= theirs.size() ? ours : theirs;
    const std::vector<AttributeItem>& larger = ours.size() <= theirs.size() ? theirs : ours;
    bool formatData = true;
    for (const AttributeItem& item : smaller) {
      if (IsIgnoredForFormatData(item.key)) continue;
      const AttributeItem* other = FindItem(larger, item.key);
      if (other == nullptr || !VariantsEqual(*item.value, *other->value)) {
        formatData = false;
        break;
      }
    }
    if (formatData) flags |= MF_MEDIATYPE_EQUAL_FORMAT_DATA;

    *pdwFlags = flags;
    constexpr DWORD kAll = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES |
                           MF_MEDIATYPE_EQUAL_FORMAT_DATA | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
    return flags == kAll ? S_OK : S_FALSE;
  }

  // Format-block representations (AM_MEDIA_TYPE and the like) are not kept.
  HRESULT STDMETHODCALLTYPE GetRepresentation(GUID guidRepresentation, LPVOID* ppvRepresentation) override {
    if (ppvRepresentation != nullptr) *ppvRepresentation = nullptr;
    return MF_E_UNSUPPORTED_REPRESENTATION;
  }
  HRESULT STDMETHODCALLTYPE FreeRepresentation(GUID guidRepresentation, LPVOID pvRepresentation) override {
    return MF_E_UNSUPPORTED_REPRESENTATION;
  }
};

}  // namespace

bool IsLiveMediaType(const IMFMediaType* type) {
  if (type == nullptr) return false;
  std::lock_guard<std::mutex> lock(registryMutex);
  return Registry().count(type) != 0;
}

bool ReferenceLiveMediaType(IMFMediaType* type) {
  if (type == nullptr) return false;
  std::lock_guard<std::mutex> lock(registryMutex);
  if (Registry().count(type) == 0) return false;
  type->AddRef();
  return true;
}

}  // namespace kx::mf

extern "C" {

HRESULT MFCreateAttributes(IMFAttributes** ppMFAttributes, UINT32 cInitialSize) {
  if (ppMFAttributes == nullptr) return E_POINTER;
  *ppMFAttributes = nullptr;
  return kx::mf::Deliver(new (std::nothrow) kx::mf::Attributes(), ppMFAttributes);
}

HRESULT MFCreateMediaType(IMFMediaType** ppMFType) {
  if (ppMFType == nullptr) return E_POINTER;
  *ppMFType = nullptr;
  auto* type = new (std::nothrow) kx::mf::MediaType();
  if (type == nullptr) return E_OUTOFMEMORY;
  try {
    std::lock_guard<std::mutex> lock(kx::mf::registryMutex);
    kx::mf::Registry().insert(type);
  } catch (...) {
    type->Release();  // not registered: its removal finds nothing
    return E_OUTOFMEMORY;
  }
  *ppMFType = type;
  return S_OK;
}

}  // extern "C"
