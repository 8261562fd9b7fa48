// Test fakes of COM interfaces, for both builds. Reference counting comes
// from the layer's COM base (kx::mf::ComObject, header-only, which compiles
// against the SDK's IUnknown too), so a fake writes only the methods it
// fakes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "kxplatform/com_object.h"
#include "kxplatform/mf.h"

namespace kx::test {

// The count an object reports after one AddRef/Release pair.
inline ULONG RefCount(IUnknown* object) { return object->AddRef(), object->Release(); }

// A media type of `major` and `subtype`, and a sample of `bytes` at `time`
// (null when the platform refuses a step).
inline kx::ComPtr<IMFMediaType> NewType(const GUID& major, const GUID& subtype) {
  kx::ComPtr<IMFMediaType> type;
  if (FAILED(MFCreateMediaType(&type)) || FAILED(type->SetGUID(MF_MT_MAJOR_TYPE, major))) return nullptr;
  return SUCCEEDED(type->SetGUID(MF_MT_SUBTYPE, subtype)) ? type : nullptr;
}
inline kx::ComPtr<IMFSample> SampleOf(const std::vector<uint8_t>& bytes, LONGLONG time, LONGLONG duration) {
  kx::ComPtr<IMFSample> sample;
  kx::ComPtr<IMFMediaBuffer> buffer;
  BYTE* data = nullptr;
  const auto size = static_cast<DWORD>(bytes.size());
  if (FAILED(MFCreateSample(&sample)) || FAILED(MFCreateMemoryBuffer(size, &buffer)) ||
      FAILED(buffer->Lock(&data, nullptr, nullptr))) {
    return nullptr;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  const bool made = SUCCEEDED(buffer->Unlock()) && SUCCEEDED(buffer->SetCurrentLength(size)) &&
                    SUCCEEDED(sample->AddBuffer(buffer.Get())) && SUCCEEDED(sample->SetSampleTime(time)) &&
                    SUCCEEDED(sample->SetSampleDuration(duration));
  return made ? sample : nullptr;
}

// A new object held by its one owning reference.
template <typename T, typename... Args>
kx::ComPtr<T> Make(Args&&... args) {
  kx::ComPtr<T> object;
  object.Attach(new T(std::forward<Args>(args)...));
  return object;
}

// A fake of `Interface` that answers QueryInterface for IUnknown, `Interface`
// and the bases listed in `Also`. It starts with one reference (the
// creator's) and deletes itself on the last Release.
template <typename Interface, typename... Also>
class Fake : public kx::mf::ComObject<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<Fake, Interface, Also...>(this, riid, ppv);
  }
};

// An attribute store (or media type, or any interface built on one) that
// forwards every attribute call to a real store of the platform's; a fake
// overrides only the calls it breaks or bends.
template <typename Interface = IMFAttributes>
class AttributesOver : public Fake<Interface, IMFAttributes> {
  using Inner = std::conditional_t<std::is_same_v<Interface, IMFMediaType>, IMFMediaType, IMFAttributes>;

 public:
  AttributesOver() {
    if constexpr (std::is_same_v<Interface, IMFMediaType>) {
      (void)MFCreateMediaType(&inner_);  // a failure shows as a null inner_ in the first call
    } else {
      (void)MFCreateAttributes(&inner_, 0);
    }
  }
  Inner* inner() const { return inner_.Get(); }

#define KX_FORWARD(name, params, args) \
  HRESULT STDMETHODCALLTYPE name params override { return inner_->name args; }
  KX_FORWARD(GetItem, (REFGUID k, PROPVARIANT* v), (k, v))
  KX_FORWARD(GetItemType, (REFGUID k, MF_ATTRIBUTE_TYPE* t), (k, t))
  KX_FORWARD(CompareItem, (REFGUID k, REFPROPVARIANT v, BOOL* r), (k, v, r))
  KX_FORWARD(Compare, (IMFAttributes* a, MF_ATTRIBUTES_MATCH_TYPE m, BOOL* r), (a, m, r))
  KX_FORWARD(GetUINT32, (REFGUID k, UINT32* v), (k, v))
  KX_FORWARD(GetUINT64, (REFGUID k, UINT64* v), (k, v))
  KX_FORWARD(GetDouble, (REFGUID k, double* v), (k, v))
  KX_FORWARD(GetGUID, (REFGUID k, GUID* v), (k, v))
  KX_FORWARD(GetStringLength, (REFGUID k, UINT32* n), (k, n))
  KX_FORWARD(GetString, (REFGUID k, LPWSTR s, UINT32 n, UINT32* l), (k, s, n, l))
  KX_FORWARD(GetAllocatedString, (REFGUID k, LPWSTR* s, UINT32* l), (k, s, l))
  KX_FORWARD(GetBlobSize, (REFGUID k, UINT32* n), (k, n))
  KX_FORWARD(GetBlob, (REFGUID k, UINT8* b, UINT32 n, UINT32* l), (k, b, n, l))
  KX_FORWARD(GetAllocatedBlob, (REFGUID k, UINT8** b, UINT32* l), (k, b, l))
  KX_FORWARD(GetUnknown, (REFGUID k, REFIID r, LPVOID* p), (k, r, p))
  KX_FORWARD(SetItem, (REFGUID k, REFPROPVARIANT v), (k, v))
  KX_FORWARD(DeleteItem, (REFGUID k), (k))
  KX_FORWARD(DeleteAllItems, (), ())
  KX_FORWARD(SetUINT32, (REFGUID k, UINT32 v), (k, v))
  KX_FORWARD(SetUINT64, (REFGUID k, UINT64 v), (k, v))
  KX_FORWARD(SetDouble, (REFGUID k, double v), (k, v))
  KX_FORWARD(SetGUID, (REFGUID k, REFGUID v), (k, v))
  KX_FORWARD(SetString, (REFGUID k, LPCWSTR v), (k, v))
  KX_FORWARD(SetBlob, (REFGUID k, const UINT8* b, UINT32 n), (k, b, n))
  KX_FORWARD(SetUnknown, (REFGUID k, IUnknown* u), (k, u))
  KX_FORWARD(LockStore, (), ())
  KX_FORWARD(UnlockStore, (), ())
  KX_FORWARD(GetCount, (UINT32* n), (n))
  KX_FORWARD(GetItemByIndex, (UINT32 i, GUID* k, PROPVARIANT* v), (i, k, v))
  KX_FORWARD(CopyAllItems, (IMFAttributes* to), (to))
#undef KX_FORWARD

 private:
  kx::ComPtr<Inner> inner_;
};

// A media type over a real one; the five media-type calls forward too.
class MediaTypeOver : public AttributesOver<IMFMediaType> {
 public:
  HRESULT STDMETHODCALLTYPE GetMajorType(GUID* major) override { return inner()->GetMajorType(major); }
  HRESULT STDMETHODCALLTYPE IsCompressedFormat(BOOL* compressed) override {
    return inner()->IsCompressedFormat(compressed);
  }
  HRESULT STDMETHODCALLTYPE IsEqual(IMFMediaType* other, DWORD* flags) override {
    return inner()->IsEqual(other, flags);
  }
  HRESULT STDMETHODCALLTYPE GetRepresentation(GUID guid, LPVOID* representation) override {
    return inner()->GetRepresentation(guid, representation);
  }
  HRESULT STDMETHODCALLTYPE FreeRepresentation(GUID guid, LPVOID representation) override {
    return inner()->FreeRepresentation(guid, representation);
  }
};

}  // namespace kx::test
