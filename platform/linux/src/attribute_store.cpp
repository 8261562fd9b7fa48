// The attribute store: typed values keyed by GUID, in insertion order.
#include "attribute_store.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace kx::mf {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

bool IsAttributeType(VARTYPE vt) {
  switch (vt) {
    case MF_ATTRIBUTE_UINT32:
    case MF_ATTRIBUTE_UINT64:
    case MF_ATTRIBUTE_DOUBLE:
    case MF_ATTRIBUTE_GUID:
    case MF_ATTRIBUTE_STRING:
    case MF_ATTRIBUTE_BLOB:
    case MF_ATTRIBUTE_IUNKNOWN:
      return true;
    default:
      return false;
  }
}

const AttributeItem* FindIn(const std::vector<AttributeItem>& items, REFGUID key) {
  for (const AttributeItem& item : items) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

// Every item of `subset` is present in `superset` with an equal value.
bool Contains(const std::vector<AttributeItem>& superset, const std::vector<AttributeItem>& subset) {
  for (const AttributeItem& item : subset) {
    const AttributeItem* other = FindIn(superset, item.key);
    if (other == nullptr || !VariantsEqual(*item.value, *other->value)) return false;
  }
  return true;
}

}  // namespace

bool VariantsEqual(const PROPVARIANT& a, const PROPVARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_UI4:
      return a.ulVal == b.ulVal;
    case VT_UI8:
      return a.uhVal.QuadPart == b.uhVal.QuadPart;
    case VT_R8:
      return a.dblVal == b.dblVal;
    case VT_CLSID:
      return a.puuid != nullptr && b.puuid != nullptr ? *a.puuid == *b.puuid : a.puuid == b.puuid;
    case VT_LPWSTR:
      if (a.pwszVal == nullptr || b.pwszVal == nullptr) return a.pwszVal == b.pwszVal;
      return std::char_traits<WCHAR>::compare(a.pwszVal, b.pwszVal,
                                              std::char_traits<WCHAR>::length(a.pwszVal) + 1) == 0;
    case VT_VECTOR | VT_UI1:
      return a.caub.cElems == b.caub.cElems &&
             (a.caub.cElems == 0 || std::memcmp(a.caub.pElems, b.caub.pElems, a.caub.cElems) == 0);
    case VT_UNKNOWN:
      return a.punkVal == b.punkVal;
    default:
      return false;
  }
}

HRESULT SnapshotAttributes(IMFAttributes* source, std::vector<AttributeItem>* items) {
  items->clear();
  HRESULT hr = source->LockStore();
  if (FAILED(hr)) return hr;
  UINT32 count = 0;
  hr = source->GetCount(&count);
  try {
    if (SUCCEEDED(hr)) items->reserve(count);
    for (UINT32 i = 0; SUCCEEDED(hr) && i < count; ++i) {
      AttributeItem item{};
      hr = source->GetItemByIndex(i, &item.key, item.value.get());
      if (SUCCEEDED(hr)) items->push_back(std::move(item));
    }
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  source->UnlockStore();
  if (FAILED(hr)) items->clear();
  return hr;
}

AttributeItem* AttributeStore::Find(REFGUID key) {
  for (AttributeItem& item : items_) {
    if (item.key == key) return &item;
  }
  return nullptr;
}

HRESULT AttributeStore::FindTyped(REFGUID key, VARTYPE vt, AttributeItem** item) {
  *item = Find(key);
  if (*item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  if ((*item)->value->vt != vt) return MF_E_INVALIDTYPE;
  return S_OK;
}

HRESULT AttributeStore::Store(REFGUID key, OwnedVariant&& value) {
  Lock lock(mutex_);
  if (AttributeItem* item = Find(key)) {
    item->value = std::move(value);
    return S_OK;
  }
  try {
    items_.push_back(AttributeItem{key, std::move(value)});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT AttributeStore::GetItem(REFGUID guidKey, PROPVARIANT* pValue) {
  Lock lock(mutex_);
  const AttributeItem* item = Find(guidKey);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  return pValue == nullptr ? S_OK : PropVariantCopy(pValue, &*item->value);
}

HRESULT AttributeStore::GetItemType(REFGUID guidKey, MF_ATTRIBUTE_TYPE* pType) {
  if (pType == nullptr) return E_POINTER;
  Lock lock(mutex_);
  const AttributeItem* item = Find(guidKey);
  if (item == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  *pType = static_cast<MF_ATTRIBUTE_TYPE>(item->value->vt);
  return S_OK;
}

HRESULT AttributeStore::CompareItem(REFGUID guidKey, REFPROPVARIANT Value, BOOL* pbResult) {
  if (pbResult == nullptr) return E_POINTER;
  Lock lock(mutex_);
  const AttributeItem* item = Find(guidKey);
  *pbResult = item != nullptr && VariantsEqual(*item->value, Value);
  return S_OK;
}

HRESULT AttributeStore::Compare(IMFAttributes* pTheirs, MF_ATTRIBUTES_MATCH_TYPE MatchType, BOOL* pbResult) {
  if (pTheirs == nullptr || pbResult == nullptr) return E_POINTER;
  *pbResult = FALSE;
  if (MatchType < MF_ATTRIBUTES_MATCH_OUR_ITEMS || MatchType > MF_ATTRIBUTES_MATCH_SMALLER) return E_INVALIDARG;
  // Both sides are copied first so that no two store locks are ever held at
  // once (and comparing a store with itself works).
  std::vector<AttributeItem> theirs;
  HRESULT hr = SnapshotAttributes(pTheirs, &theirs);
  if (FAILED(hr)) return hr;
  std::vector<AttributeItem> ours;
  hr = Snapshot(&ours);
  if (FAILED(hr)) return hr;

  bool match = false;
  switch (MatchType) {
    case MF_ATTRIBUTES_MATCH_OUR_ITEMS:
      match = Contains(theirs, ours);
      break;
    case MF_ATTRIBUTES_MATCH_THEIR_ITEMS:
      match = Contains(ours, theirs);
      break;
    case MF_ATTRIBUTES_MATCH_ALL_ITEMS:
      match = ours.size() == theirs.size() && Contains(theirs, ours);
      break;
    case MF_ATTRIBUTES_MATCH_INTERSECTION:
      match = std::all_of(ours.begin(), ours.end(), [&](const AttributeItem& item) {
        const AttributeItem* other = FindIn(theirs, item.key);
        return other == nullptr || VariantsEqual(*item.value, *other->value);
      });
      break;
    case MF_ATTRIBUTES_MATCH_SMALLER:
      match = ours.size() <= theirs.size() ? Contains(theirs, ours) : Contains(ours, theirs);
      break;
  }
  *pbResult = match;
  return S_OK;
}

HRESULT AttributeStore::GetUINT32(REFGUID guidKey, UINT32* punValue) {
  if (punValue == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_UI4, &item);
  if (SUCCEEDED(hr)) *punValue = item->value->ulVal;
  return hr;
}

HRESULT AttributeStore::GetUINT64(REFGUID guidKey, UINT64* punValue) {
  if (punValue == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_UI8, &item);
  if (SUCCEEDED(hr)) *punValue = item->value->uhVal.QuadPart;
  return hr;
}

HRESULT AttributeStore::GetDouble(REFGUID guidKey, double* pfValue) {
  if (pfValue == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_R8, &item);
  if (SUCCEEDED(hr)) *pfValue = item->value->dblVal;
  return hr;
}

HRESULT AttributeStore::GetGUID(REFGUID guidKey, GUID* pguidValue) {
  if (pguidValue == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_CLSID, &item);
  if (SUCCEEDED(hr)) *pguidValue = *item->value->puuid;
  return hr;
}

HRESULT AttributeStore::GetStringLength(REFGUID guidKey, UINT32* pcchLength) {
  if (pcchLength == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_LPWSTR, &item);
  if (SUCCEEDED(hr)) *pcchLength = static_cast<UINT32>(std::char_traits<WCHAR>::length(item->value->pwszVal));
  return hr;
}

HRESULT AttributeStore::GetString(REFGUID guidKey, LPWSTR pwszValue, UINT32 cchBufSize, UINT32* pcchLength) {
  if (pwszValue == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_LPWSTR, &item);
  if (FAILED(hr)) return hr;
  const size_t length = std::char_traits<WCHAR>::length(item->value->pwszVal);
  if (length >= cchBufSize) return STRSAFE_E_INSUFFICIENT_BUFFER;
  std::char_traits<WCHAR>::copy(pwszValue, item->value->pwszVal, length + 1);
  if (pcchLength != nullptr) *pcchLength = static_cast<UINT32>(length);
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedString(REFGUID guidKey, LPWSTR* ppwszValue, UINT32* pcchLength) {
  if (ppwszValue == nullptr || pcchLength == nullptr) return E_POINTER;
  *ppwszValue = nullptr;
  *pcchLength = 0;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_LPWSTR, &item);
  if (FAILED(hr)) return hr;
  const size_t length = std::char_traits<WCHAR>::length(item->value->pwszVal);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((length + 1) * sizeof(WCHAR)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::char_traits<WCHAR>::copy(copy, item->value->pwszVal, length + 1);
  *ppwszValue = copy;
  *pcchLength = static_cast<UINT32>(length);
  return S_OK;
}

HRESULT AttributeStore::GetBlobSize(REFGUID guidKey, UINT32* pcbBlobSize) {
  if (pcbBlobSize == nullptr) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_VECTOR | VT_UI1, &item);
  if (SUCCEEDED(hr)) *pcbBlobSize = item->value->caub.cElems;
  return hr;
}

HRESULT AttributeStore::GetBlob(REFGUID guidKey, UINT8* pBuf, UINT32 cbBufSize, UINT32* pcbBlobSize) {
  if (pBuf == nullptr && cbBufSize != 0) return E_POINTER;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_VECTOR | VT_UI1, &item);
  if (FAILED(hr)) return hr;
  const CAUB& blob = item->value->caub;
  if (blob.cElems > cbBufSize) return E_NOT_SUFFICIENT_BUFFER;
  if (blob.cElems != 0) std::memcpy(pBuf, blob.pElems, blob.cElems);
  if (pcbBlobSize != nullptr) *pcbBlobSize = blob.cElems;
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedBlob(REFGUID guidKey, UINT8** ppBuf, UINT32* pcbSize) {
  if (ppBuf == nullptr || pcbSize == nullptr) return E_POINTER;
  *ppBuf = nullptr;
  *pcbSize = 0;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_VECTOR | VT_UI1, &item);
  if (FAILED(hr)) return hr;
  const CAUB& blob = item->value->caub;
  auto* copy = static_cast<UINT8*>(CoTaskMemAlloc(blob.cElems));
  if (copy == nullptr) return E_OUTOFMEMORY;
  if (blob.cElems != 0) std::memcpy(copy, blob.pElems, blob.cElems);
  *ppBuf = copy;
  *pcbSize = blob.cElems;
  return S_OK;
}

HRESULT AttributeStore::GetUnknown(REFGUID guidKey, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  Lock lock(mutex_);
  AttributeItem* item = nullptr;
  const HRESULT hr = FindTyped(guidKey, VT_UNKNOWN, &item);
  if (FAILED(hr)) return hr;
  if (item->value->punkVal == nullptr) return E_NOINTERFACE;
  return item->value->punkVal->QueryInterface(riid, ppv);
}

HRESULT AttributeStore::SetItem(REFGUID guidKey, REFPROPVARIANT Value) {
  if (!IsAttributeType(Value.vt)) return MF_E_INVALIDTYPE;
  if (Value.vt == VT_CLSID && Value.puuid == nullptr) return E_INVALIDARG;
  if (Value.vt == VT_LPWSTR && Value.pwszVal == nullptr) return E_INVALIDARG;
  OwnedVariant copy;
  const HRESULT hr = PropVariantCopy(copy.get(), &Value);
  if (FAILED(hr)) return hr;
  return Store(guidKey, std::move(copy));
}

HRESULT AttributeStore::DeleteItem(REFGUID guidKey) {
  OwnedVariant removed;  // released after the lock is given up
  Lock lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const AttributeItem& item) { return item.key == guidKey; });
  if (it != items_.end()) {
    removed = std::move(it->value);
    items_.erase(it);
  }
  return S_OK;
}

HRESULT AttributeStore::DeleteAllItems() {
  std::vector<AttributeItem> removed;
  Lock lock(mutex_);
  removed.swap(items_);
  return S_OK;
}

HRESULT AttributeStore::SetUINT32(REFGUID guidKey, UINT32 unValue) {
  OwnedVariant value;
  value.get()->vt = VT_UI4;
  value.get()->ulVal = unValue;
  return Store(guidKey, std::move(value));
}

HRESULT AttributeStore::SetUINT64(REFGUID guidKey, UINT64 unValue) {
  OwnedVariant value;
  value.get()->vt = VT_UI8;
  value.get()->uhVal.QuadPart = unValue;
  return Store(guidKey, std::move(value));
}

HRESULT AttributeStore::SetDouble(REFGUID guidKey, double fValue) {
  OwnedVariant value;
  value.get()->vt = VT_R8;
  value.get()->dblVal = fValue;
  return Store(guidKey, std::move(value));
}

HRESULT AttributeStore::SetGUID(REFGUID guidKey, REFGUID guidValue) {
  PROPVARIANT source;
  PropVariantInit(&source);
  source.vt = VT_CLSID;
  source.puuid = const_cast<GUID*>(&guidValue);
  return SetItem(guidKey, source);
}

HRESULT AttributeStore::SetString(REFGUID guidKey, LPCWSTR wszValue) {
  if (wszValue == nullptr) return E_POINTER;
  PROPVARIANT source;
  PropVariantInit(&source);
  source.vt = VT_LPWSTR;
  source.pwszVal = const_cast<LPWSTR>(wszValue);
  return SetItem(guidKey, source);
}

HRESULT AttributeStore::SetBlob(REFGUID guidKey, const UINT8* pBuf, UINT32 cbBufSize) {
  if (pBuf == nullptr && cbBufSize != 0) return E_POINTER;
  OwnedVariant value;
  value.get()->vt = VT_VECTOR | VT_UI1;
  value.get()->caub.cElems = cbBufSize;
  value.get()->caub.pElems = static_cast<UCHAR*>(CoTaskMemAlloc(cbBufSize));
  if (value.get()->caub.pElems == nullptr) return E_OUTOFMEMORY;
  if (cbBufSize != 0) std::memcpy(value.get()->caub.pElems, pBuf, cbBufSize);
  return Store(guidKey, std::move(value));
}

HRESULT AttributeStore::SetUnknown(REFGUID guidKey, IUnknown* pUnknown) {
  OwnedVariant value;
  value.get()->vt = VT_UNKNOWN;
  value.get()->punkVal = pUnknown;
  if (pUnknown != nullptr) pUnknown->AddRef();
  return Store(guidKey, std::move(value));
}

HRESULT AttributeStore::LockStore() {
  mutex_.lock();
  lockOwner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  ++lockDepth_;
  return S_OK;
}

HRESULT AttributeStore::UnlockStore() {
  // Only the thread that locked the store may unlock it; anything else would
  // release a lock it does not hold.
  if (lockOwner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return E_UNEXPECTED;
  if (--lockDepth_ == 0) lockOwner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
  return S_OK;
}

HRESULT AttributeStore::GetCount(UINT32* pcItems) {
  if (pcItems == nullptr) return E_POINTER;
  Lock lock(mutex_);
  *pcItems = static_cast<UINT32>(items_.size());
  return S_OK;
}

HRESULT AttributeStore::GetItemByIndex(UINT32 unIndex, GUID* pguidKey, PROPVARIANT* pValue) {
  if (pguidKey == nullptr) return E_POINTER;
  Lock lock(mutex_);
  if (unIndex >= items_.size()) return E_INVALIDARG;
  const AttributeItem& item = items_[unIndex];
  if (pValue != nullptr) {
    const HRESULT hr = PropVariantCopy(pValue, &*item.value);
    if (FAILED(hr)) return hr;
  }
  *pguidKey = item.key;
  return S_OK;
}

HRESULT AttributeStore::CopyAllItems(IMFAttributes* pDest) {
  if (pDest == nullptr) return E_POINTER;
  std::vector<AttributeItem> ours;
  HRESULT hr = Snapshot(&ours);
  if (FAILED(hr)) return hr;
  hr = pDest->LockStore();
  if (FAILED(hr)) return hr;
  hr = pDest->DeleteAllItems();
  for (size_t i = 0; SUCCEEDED(hr) && i < ours.size(); ++i) hr = pDest->SetItem(ours[i].key, *ours[i].value);
  pDest->UnlockStore();
  return hr;
}

HRESULT AttributeStore::Snapshot(std::vector<AttributeItem>* items) {
  items->clear();
  Lock lock(mutex_);
  try {
    items->reserve(items_.size());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (const AttributeItem& item : items_) {
    AttributeItem copy{item.key, OwnedVariant()};
    const HRESULT hr = PropVariantCopy(copy.value.get(), &*item.value);
    if (FAILED(hr)) return hr;
    items->push_back(std::move(copy));  // capacity reserved above
  }
  return S_OK;
}

}  // namespace kx::mf
