// The attribute store behind every object of the layer that is also an
// IMFAttributes (attribute sets, media types, samples).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "kxplatform/com_object.h"

namespace kx::mf {

// A variant the store owns: copied in, cleared on destruction.
class OwnedVariant {
 public:
  OwnedVariant() { PropVariantInit(&value_); }
  ~OwnedVariant() { PropVariantClear(&value_); }
  OwnedVariant(OwnedVariant&& other) noexcept : value_(other.value_) { PropVariantInit(&other.value_); }
  OwnedVariant& operator=(OwnedVariant&& other) noexcept {
    if (this != &other) {
      PropVariantClear(&value_);
      value_ = other.value_;
      PropVariantInit(&other.value_);
    }
    return *this;
  }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;

  PROPVARIANT* get() { return &value_; }
  const PROPVARIANT& operator*() const { return value_; }
  const PROPVARIANT* operator->() const { return &value_; }

 private:
  PROPVARIANT value_;
};

struct AttributeItem {
  GUID key;
  OwnedVariant value;
};

// Reads all items of any IMFAttributes, holding its store lock meanwhile.
HRESULT SnapshotAttributes(IMFAttributes* source, std::vector<AttributeItem>* items);
// True when both variants have the same type and value (IUnknown: same object).
bool VariantsEqual(const PROPVARIANT& a, const PROPVARIANT& b);

// Items in insertion order; setting an existing key replaces its value in
// place. Every method is safe to call from several threads; LockStore
// additionally keeps other threads out between calls.
class AttributeStore {
 public:
  AttributeStore() = default;
  AttributeStore(const AttributeStore&) = delete;
  AttributeStore& operator=(const AttributeStore&) = delete;

  HRESULT GetItem(REFGUID guidKey, PROPVARIANT* pValue);
  HRESULT GetItemType(REFGUID guidKey, MF_ATTRIBUTE_TYPE* pType);
  HRESULT CompareItem(REFGUID guidKey, REFPROPVARIANT Value, BOOL* pbResult);
  HRESULT Compare(IMFAttributes* pTheirs, MF_ATTRIBUTES_MATCH_TYPE MatchType, BOOL* pbResult);
  HRESULT GetUINT32(REFGUID guidKey, UINT32* punValue);
  HRESULT GetUINT64(REFGUID guidKey, UINT64* punValue);
  HRESULT GetDouble(REFGUID guidKey, double* pfValue);
  HRESULT GetGUID(REFGUID guidKey, GUID* pguidValue);
  HRESULT GetStringLength(REFGUID guidKey, UINT32* pcchLength);
  HRESULT GetString(REFGUID guidKey, LPWSTR pwszValue, UINT32 cchBufSize, UINT32* pcchLength);
  HRESULT GetAllocatedString(REFGUID guidKey, LPWSTR* ppwszValue, UINT32* pcchLength);
  HRESULT GetBlobSize(REFGUID guidKey, UINT32* pcbBlobSize);
  HRESULT GetBlob(REFGUID guidKey, UINT8* pBuf, UINT32 cbBufSize, UINT32* pcbBlobSize);
  HRESULT GetAllocatedBlob(REFGUID guidKey, UINT8** ppBuf, UINT32* pcbSize);
  HRESULT GetUnknown(REFGUID guidKey, REFIID riid, LPVOID* ppv);
  HRESULT SetItem(REFGUID guidKey, REFPROPVARIANT Value);
  HRESULT DeleteItem(REFGUID guidKey);
  HRESULT DeleteAllItems();
  HRESULT SetUINT32(REFGUID guidKey, UINT32 unValue);
  HRESULT SetUINT64(REFGUID guidKey, UINT64 unValue);
  HRESULT SetDouble(REFGUID guidKey, double fValue);
  HRESULT SetGUID(REFGUID guidKey, REFGUID guidValue);
  HRESULT SetString(REFGUID guidKey, LPCWSTR wszValue);
  HRESULT SetBlob(REFGUID guidKey, const UINT8* pBuf, UINT32 cbBufSize);
  HRESULT SetUnknown(REFGUID guidKey, IUnknown* pUnknown);
  HRESULT LockStore();
  HRESULT UnlockStore();
  HRESULT GetCount(UINT32* pcItems);
  HRESULT GetItemByIndex(UINT32 unIndex, GUID* pguidKey, PROPVARIANT* pValue);
  HRESULT CopyAllItems(IMFAttributes* pDest);

  // Copies of all items, for comparisons made without holding the lock.
  HRESULT Snapshot(std::vector<AttributeItem>* items);

 private:
  AttributeItem* Find(REFGUID key);
  // Finds `key` and checks its type: MF_E_ATTRIBUTENOTFOUND / MF_E_INVALIDTYPE.
  HRESULT FindTyped(REFGUID key, VARTYPE vt, AttributeItem** item);
  // Stores an already owned value (takes it over).
  HRESULT Store(REFGUID key, OwnedVariant&& value);

  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> lockOwner_{};
  int lockDepth_ = 0;  // LockStore nesting of lockOwner_
  std::vector<AttributeItem> items_;
};

// IMFAttributes methods of an interface `Base` derived from IMFAttributes,
// answered by the object's AttributeStore.
template <typename Base>
class AttributesOf : public ComObject<Base> {
 public:
  HRESULT STDMETHODCALLTYPE GetItem(REFGUID k, PROPVARIANT* v) override { return store_.GetItem(k, v); }
  HRESULT STDMETHODCALLTYPE GetItemType(REFGUID k, MF_ATTRIBUTE_TYPE* t) override { return store_.GetItemType(k, t); }
  HRESULT STDMETHODCALLTYPE CompareItem(REFGUID k, REFPROPVARIANT v, BOOL* r) override {
    return store_.CompareItem(k, v, r);
  }
  HRESULT STDMETHODCALLTYPE Compare(IMFAttributes* t, MF_ATTRIBUTES_MATCH_TYPE m, BOOL* r) override {
    return store_.Compare(t, m, r);
  }
  HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID k, UINT32* v) override { return store_.GetUINT32(k, v); }
  HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID k, UINT64* v) override { return store_.GetUINT64(k, v); }
  HRESULT STDMETHODCALLTYPE GetDouble(REFGUID k, double* v) override { return store_.GetDouble(k, v); }
  HRESULT STDMETHODCALLTYPE GetGUID(REFGUID k, GUID* v) override { return store_.GetGUID(k, v); }
  HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID k, UINT32* n) override { return store_.GetStringLength(k, n); }
  HRESULT STDMETHODCALLTYPE GetString(REFGUID k, LPWSTR s, UINT32 c, UINT32* n) override {
    return store_.GetString(k, s, c, n);
  }
  HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID k, LPWSTR* s, UINT32* n) override {
    return store_.GetAllocatedString(k, s, n);
  }
  HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID k, UINT32* n) override { return store_.GetBlobSize(k, n); }
  HRESULT STDMETHODCALLTYPE GetBlob(REFGUID k, UINT8* b, UINT32 c, UINT32* n) override {
    return store_.GetBlob(k, b, c, n);
  }
  HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID k, UINT8** b, UINT32* n) override {
    return store_.GetAllocatedBlob(k, b, n);
  }
  HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID k, REFIID i, LPVOID* p) override { return store_.GetUnknown(k, i, p); }
  HRESULT STDMETHODCALLTYPE SetItem(REFGUID k, REFPROPVARIANT v) override { return store_.SetItem(k, v); }
  HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID k) override { return store_.DeleteItem(k); }
  HRESULT STDMETHODCALLTYPE DeleteAllItems() override { return store_.DeleteAllItems(); }
  HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID k, UINT32 v) override { return store_.SetUINT32(k, v); }
  HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID k, UINT64 v) override { return store_.SetUINT64(k, v); }
  HRESULT STDMETHODCALLTYPE SetDouble(REFGUID k, double v) override { return store_.SetDouble(k, v); }
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID k, REFGUID v) override { return store_.SetGUID(k, v); }
  HRESULT STDMETHODCALLTYPE SetString(REFGUID k, LPCWSTR v) override { return store_.SetString(k, v); }
  HRESULT STDMETHODCALLTYPE SetBlob(REFGUID k, const UINT8* b, UINT32 n) override { return store_.SetBlob(k, b, n); }
  HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID k, IUnknown* u) override { return store_.SetUnknown(k, u); }
  HRESULT STDMETHODCALLTYPE LockStore() override { return store_.LockStore(); }
  HRESULT STDMETHODCALLTYPE UnlockStore() override { return store_.UnlockStore(); }
  HRESULT STDMETHODCALLTYPE GetCount(UINT32* n) override { return store_.GetCount(n); }
  HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 i, GUID* k, PROPVARIANT* v) override {
    return store_.GetItemByIndex(i, k, v);
  }
  HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes* d) override { return store_.CopyAllItems(d); }

 protected:
  AttributeStore store_;
};

}  // namespace kx::mf
