// Attribute stores and media types: typed access, order, copy, compare,
// locking and reference counts under threads.
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using kx::ComPtr;

// Keys used only by these tests.
constexpr GUID kKeyA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr GUID kKeyB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};
constexpr GUID kKeyC = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x03}};
constexpr GUID kMissing = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0xFF}};

ComPtr<IMFAttributes> NewAttributes() {
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(S_OK, MFCreateAttributes(&attributes, 4));
  return attributes;
}

std::vector<GUID> KeysInOrder(IMFAttributes* attributes) {
  UINT32 count = 0;
  EXPECT_EQ(S_OK, attributes->GetCount(&count));
  std::vector<GUID> keys;
  for (UINT32 i = 0; i < count; ++i) {
    GUID key{};
    EXPECT_EQ(S_OK, attributes->GetItemByIndex(i, &key, nullptr));
    keys.push_back(key);
  }
  return keys;
}

// One setter per attribute type, and a getter of every type.
struct TypedValue {
  const char* name;
  MF_ATTRIBUTE_TYPE type;
  std::function<HRESULT(IMFAttributes*, REFGUID)> set;
};

const std::vector<TypedValue>& AllTypes() {
  static const std::vector<TypedValue> kTypes = {
      {"UINT32", MF_ATTRIBUTE_UINT32, [](IMFAttributes* a, REFGUID k) { return a->SetUINT32(k, 7); }},
      {"UINT64", MF_ATTRIBUTE_UINT64, [](IMFAttributes* a, REFGUID k) { return a->SetUINT64(k, 7); }},
      {"DOUBLE", MF_ATTRIBUTE_DOUBLE, [](IMFAttributes* a, REFGUID k) { return a->SetDouble(k, 7.5); }},
      {"GUID", MF_ATTRIBUTE_GUID, [](IMFAttributes* a, REFGUID k) { return a->SetGUID(k, MFMediaType_Video); }},
      {"STRING", MF_ATTRIBUTE_STRING, [](IMFAttributes* a, REFGUID k) { return a->SetString(k, KX_W("seven")); }},
      {"BLOB", MF_ATTRIBUTE_BLOB,
       [](IMFAttributes* a, REFGUID k) {
         const UINT8 bytes[3] = {1, 2, 3};
         return a->SetBlob(k, bytes, 3);
       }},
      {"IUNKNOWN", MF_ATTRIBUTE_IUNKNOWN,
       [](IMFAttributes* a, REFGUID k) {
         ComPtr<IMFAttributes> object;
         const HRESULT hr = MFCreateAttributes(&object, 0);
         return FAILED(hr) ? hr : a->SetUnknown(k, object.Get());
       }},
  };
  return kTypes;
}

// Reads `key` with the getter of `type`; the result code only.
HRESULT ReadAs(IMFAttributes* a, REFGUID key, MF_ATTRIBUTE_TYPE type) {
  UINT32 u32 = 0;
  UINT64 u64 = 0;
  double d = 0;
  GUID g{};
  WCHAR text[32];
  UINT8 bytes[32];
  switch (type) {
    case MF_ATTRIBUTE_UINT32:
      return a->GetUINT32(key, &u32);
    case MF_ATTRIBUTE_UINT64:
      return a->GetUINT64(key, &u64);
    case MF_ATTRIBUTE_DOUBLE:
      return a->GetDouble(key, &d);
    case MF_ATTRIBUTE_GUID:
      return a->GetGUID(key, &g);
    case MF_ATTRIBUTE_STRING:
      return a->GetString(key, text, 32, &u32);
    case MF_ATTRIBUTE_BLOB:
      return a->GetBlob(key, bytes, 32, &u32);
    case MF_ATTRIBUTE_IUNKNOWN: {
      ComPtr<IUnknown> object;
      return a->GetUnknown(key, IID_IUnknown, reinterpret_cast<void**>(&object));
    }
  }
  return E_FAIL;
}

TEST(AttributeStore, EveryGetterAnswersMissingKeyAndTypeMismatch) {
  for (const TypedValue& stored : AllTypes()) {
    ComPtr<IMFAttributes> attributes = NewAttributes();
    ASSERT_EQ(S_OK, stored.set(attributes.Get(), kKeyA)) << stored.name;
    MF_ATTRIBUTE_TYPE type{};
    ASSERT_EQ(S_OK, attributes->GetItemType(kKeyA, &type));
    EXPECT_EQ(stored.type, type) << stored.name;
    for (const TypedValue& read : AllTypes()) {
      const HRESULT expected = read.type == stored.type ? S_OK : MF_E_INVALIDTYPE;
      EXPECT_EQ(expected, ReadAs(attributes.Get(), kKeyA, read.type))
          << "stored " << stored.name << ", read as " << read.name;
      EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, ReadAs(attributes.Get(), kMissing, read.type)) << read.name;
    }
  }
  ComPtr<IMFAttributes> attributes = NewAttributes();
  MF_ATTRIBUTE_TYPE type{};
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, attributes->GetItemType(kMissing, &type));
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, attributes->GetItem(kMissing, nullptr));
}

TEST(AttributeStore, OverwriteKeepsPlaceAndDeleteKeepsOrder) {
  ComPtr<IMFAttributes> attributes = NewAttributes();
  ASSERT_EQ(S_OK, attributes->SetUINT32(kKeyA, 1));
  ASSERT_EQ(S_OK, attributes->SetUINT32(kKeyB, 2));
  ASSERT_EQ(S_OK, attributes->SetUINT32(kKeyC, 3));
  // Overwriting with another type keeps the key where it was.
  ASSERT_EQ(S_OK, attributes->SetString(kKeyA, KX_W("again")));
  EXPECT_EQ((std::vector<GUID>{kKeyA, kKeyB, kKeyC}), KeysInOrder(attributes.Get()));
  UINT32 length = 0;
  EXPECT_EQ(S_OK, attributes->GetStringLength(kKeyA, &length));
  EXPECT_EQ(5u, length);

  ASSERT_EQ(S_OK, attributes->DeleteItem(kKeyB));
  EXPECT_EQ(S_OK, attributes->DeleteItem(kMissing)) << "deleting a missing key is not an error";
  EXPECT_EQ((std::vector<GUID>{kKeyA, kKeyC}), KeysInOrder(attributes.Get()));
  ASSERT_EQ(S_OK, attributes->SetUINT32(kKeyB, 2));
  EXPECT_EQ((std::vector<GUID>{kKeyA, kKeyC, kKeyB}), KeysInOrder(attributes.Get()));

  GUID key{};
  PROPVARIANT value;
  PropVariantInit(&value);
  EXPECT_EQ(E_INVALIDARG, attributes->GetItemByIndex(3, &key, &value));
  EXPECT_EQ(S_OK, attributes->GetItemByIndex(2, &key, &value));
  EXPECT_EQ(kKeyB, key);
  EXPECT_EQ(VT_UI4, value.vt);
  EXPECT_EQ(2u, value.ulVal);
  PropVariantClear(&value);

  ASSERT_EQ(S_OK, attributes->DeleteAllItems());
  EXPECT_TRUE(KeysInOrder(attributes.Get()).empty());
}

TEST(AttributeStore, StringsAndBlobsCheckTheCallersBuffer) {
  ComPtr<IMFAttributes> attributes = NewAttributes();
  ASSERT_EQ(S_OK, attributes->SetString(kKeyA, KX_W("abcd")));
  WCHAR text[5] = {};
  UINT32 length = 99;
  // Four characters need five places with the terminator.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), attributes->GetString(kKeyA, text, 4, &length));
  EXPECT_EQ(S_OK, attributes->GetString(kKeyA, text, 5, &length));
  EXPECT_EQ(WString(KX_W("abcd")), WString(text));
  EXPECT_EQ(4u, length);
  LPWSTR allocated = nullptr;
  EXPECT_EQ(S_OK, attributes->GetAllocatedString(kKeyA, &allocated, &length));
  EXPECT_EQ(WString(KX_W("abcd")), WString(allocated));
  CoTaskMemFree(allocated);
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_POINTER, attributes->SetString(kKeyB, nullptr));
  }

  const UINT8 bytes[4] = {9, 8, 7, 6};
  ASSERT_EQ(S_OK, attributes->SetBlob(kKeyB, bytes, 4));
  UINT8 out[4] = {};
  UINT32 size = 0;
  EXPECT_EQ(E_NOT_SUFFICIENT_BUFFER, attributes->GetBlob(kKeyB, out, 3, &size));
  EXPECT_EQ(S_OK, attributes->GetBlob(kKeyB, out, 4, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(0, std::memcmp(bytes, out, 4));
  UINT8* copy = nullptr;
  EXPECT_EQ(S_OK, attributes->GetAllocatedBlob(kKeyB, &copy, &size));
  EXPECT_EQ(0, std::memcmp(bytes, copy, 4));
  CoTaskMemFree(copy);
  // An empty blob is a value of its own.
  ASSERT_EQ(S_OK, attributes->SetBlob(kKeyC, nullptr, 0));
  EXPECT_EQ(S_OK, attributes->GetBlobSize(kKeyC, &size));
  EXPECT_EQ(0u, size);
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_POINTER, attributes->SetBlob(kKeyC, nullptr, 4));
  }
}

TEST(AttributeStore, StoredObjectIsHeldUntilReplacedDeletedOrStoreReleased) {
  bool destroyed = false;
  auto* object = new kxtest::CountedObject(&destroyed);
  {
    ComPtr<IMFAttributes> attributes = NewAttributes();
    ASSERT_EQ(S_OK, attributes->SetUnknown(kKeyA, object));
    object->Release();  // the store's reference alone keeps it
    EXPECT_FALSE(destroyed);
    ComPtr<IUnknown> back;
    EXPECT_EQ(S_OK, attributes->GetUnknown(kKeyA, IID_IUnknown, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(object, back.Get());
    ComPtr<IMFAttributes> wrong;
    EXPECT_EQ(E_NOINTERFACE, attributes->GetUnknown(kKeyA, IID_PPV_ARGS(&wrong)));
    EXPECT_EQ(nullptr, wrong.Get());
    back.Reset();
    ComPtr<IMFAttributes> copy = NewAttributes();
    ASSERT_EQ(S_OK, attributes->CopyAllItems(copy.Get()));
    ASSERT_EQ(S_OK, attributes->DeleteItem(kKeyA));
    EXPECT_FALSE(destroyed) << "the copy holds a reference of its own";
  }
  EXPECT_TRUE(destroyed);
}

TEST(AttributeStore, SetItemAcceptsOnlyAttributeTypes) {
  ComPtr<IMFAttributes> attributes = NewAttributes();
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_I4;
  value.lVal = -1;
  EXPECT_EQ(MF_E_INVALIDTYPE, attributes->SetItem(kKeyA, value));
  value.vt = VT_UI8;
  value.uhVal.QuadPart = 1ull << 40;
  EXPECT_EQ(S_OK, attributes->SetItem(kKeyA, value));
  UINT64 out = 0;
  EXPECT_EQ(S_OK, attributes->GetUINT64(kKeyA, &out));
  EXPECT_EQ(1ull << 40, out);
}

TEST(AttributeStore, CopyAllItemsReplacesTheDestinationWithADeepCopy) {
  ComPtr<IMFAttributes> source = NewAttributes();
  ComPtr<IMFAttributes> dest = NewAttributes();
  ASSERT_EQ(S_OK, source->SetString(kKeyA, KX_W("text")));
  ASSERT_EQ(S_OK, source->SetUINT32(kKeyB, 2));
  ASSERT_EQ(S_OK, dest->SetUINT32(kKeyC, 3));
  ASSERT_EQ(S_OK, source->CopyAllItems(dest.Get()));
  EXPECT_EQ((std::vector<GUID>{kKeyA, kKeyB}), KeysInOrder(dest.Get()));
  ASSERT_EQ(S_OK, source->SetString(kKeyA, KX_W("changed")));
  WCHAR text[16];
  ASSERT_EQ(S_OK, dest->GetString(kKeyA, text, 16, nullptr));
  EXPECT_EQ(WString(KX_W("text")), WString(text));
  if (kxtest::kOwnLayer) {
    // Copying a store onto itself leaves it as it was (not emptied).
    ASSERT_EQ(S_OK, source->CopyAllItems(source.Get()));
    EXPECT_EQ((std::vector<GUID>{kKeyA, kKeyB}), KeysInOrder(source.Get()));
  }
}

TEST(AttributeStore, CompareFollowsTheMatchType) {
  ComPtr<IMFAttributes> ours = NewAttributes();
  ComPtr<IMFAttributes> theirs = NewAttributes();
  // ours: A=1, B=2; theirs: A=1, B=2, C=3 -> ours is a subset of theirs.
  ours->SetUINT32(kKeyA, 1);
  ours->SetUINT32(kKeyB, 2);
  theirs->SetUINT32(kKeyA, 1);
  theirs->SetUINT32(kKeyB, 2);
  theirs->SetUINT32(kKeyC, 3);
  struct Case {
    MF_ATTRIBUTES_MATCH_TYPE match;
    BOOL subset;     // ours a subset of theirs
    BOOL conflict;   // the same, but B differs
  };
  const Case cases[] = {
      {MF_ATTRIBUTES_MATCH_OUR_ITEMS, TRUE, FALSE},   {MF_ATTRIBUTES_MATCH_THEIR_ITEMS, FALSE, FALSE},
      {MF_ATTRIBUTES_MATCH_ALL_ITEMS, FALSE, FALSE},  {MF_ATTRIBUTES_MATCH_INTERSECTION, TRUE, FALSE},
      {MF_ATTRIBUTES_MATCH_SMALLER, TRUE, FALSE},
  };
  for (const Case& c : cases) {
    BOOL result = 2;
    ASSERT_EQ(S_OK, ours->Compare(theirs.Get(), c.match, &result));
    EXPECT_EQ(c.subset, result) << "match type " << c.match;
  }
  theirs->SetUINT64(kKeyB, 2);  // same number, other type
  for (const Case& c : cases) {
    BOOL result = 2;
    ASSERT_EQ(S_OK, ours->Compare(theirs.Get(), c.match, &result));
    EXPECT_EQ(c.conflict, result) << "match type " << c.match << " with a conflicting item";
  }
  BOOL result = FALSE;
  ASSERT_EQ(S_OK, ours->Compare(ours.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(E_INVALIDARG, ours->Compare(theirs.Get(), static_cast<MF_ATTRIBUTES_MATCH_TYPE>(9), &result));

  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_UI4;
  value.ulVal = 1;
  ASSERT_EQ(S_OK, ours->CompareItem(kKeyA, value, &result));
  EXPECT_TRUE(result);
  value.ulVal = 2;
  ASSERT_EQ(S_OK, ours->CompareItem(kKeyA, value, &result));
  EXPECT_FALSE(result);
  ASSERT_EQ(S_OK, ours->CompareItem(kMissing, value, &result));
  EXPECT_FALSE(result);
}

TEST(AttributeStore, UnlockFromAnotherThreadIsRefused) {
  if (!kxtest::kOwnLayer) GTEST_SKIP() << "the layer's own safeguard";
  ComPtr<IMFAttributes> attributes = NewAttributes();
  ASSERT_EQ(S_OK, attributes->LockStore());
  ASSERT_EQ(S_OK, attributes->SetUINT32(kKeyA, 1)) << "the locking thread keeps full access";
  HRESULT other = S_OK;
  std::thread([&] { other = attributes->UnlockStore(); }).join();
  EXPECT_EQ(E_UNEXPECTED, other);
  EXPECT_EQ(S_OK, attributes->UnlockStore());
  EXPECT_EQ(E_UNEXPECTED, attributes->UnlockStore()) << "not locked any more";
}

TEST(AttributeStore, ConcurrentWritersAndReadersLoseNothing) {
  ComPtr<IMFAttributes> attributes = NewAttributes();
  constexpr int kThreads = 4;
  constexpr UINT32 kKeysPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (UINT32 i = 0; i < kKeysPerThread; ++i) {
        GUID key = kKeyA;
        key.Data1 = static_cast<uint32_t>(t);
        key.Data2 = static_cast<uint16_t>(i);
        attributes->SetUINT32(key, i);
        attributes->SetUINT32(key, i + 1);  // overwrite
        UINT32 value = 0;
        EXPECT_EQ(S_OK, attributes->GetUINT32(key, &value));
        UINT32 count = 0;
        attributes->GetCount(&count);
        if (count > 0) {
          GUID any{};
          PROPVARIANT item;
          PropVariantInit(&item);
          EXPECT_EQ(S_OK, attributes->GetItemByIndex(count - 1, &any, &item));
          PropVariantClear(&item);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  UINT32 count = 0;
  ASSERT_EQ(S_OK, attributes->GetCount(&count));
  EXPECT_EQ(kThreads * kKeysPerThread, count);
}

TEST(ComObjects, ReferenceCountsAreExactUnderThreads) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(S_OK, MFCreateSample(&sample));
  constexpr int kThreads = 4;
  constexpr int kRounds = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ComPtr<IMFAttributes> view;
        EXPECT_EQ(S_OK, sample->QueryInterface(IID_PPV_ARGS(&view)));
        ComPtr<IMFSample> copy(sample.Get());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1u, kxtest::RefCount(sample.Get()));

  // The last reference dropped on another thread destroys the object there
  // (ASan reports a leak or a double free).
  IMFSample* raw = sample.Detach();
  std::thread([raw] { EXPECT_EQ(0u, raw->Release()); }).join();
}

TEST(ComObjects, QueryInterfaceAnswersOnlyItsInterfaces) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(S_OK, type->QueryInterface(IID_PPV_ARGS(&attributes)));
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(S_OK, type->QueryInterface(IID_PPV_ARGS(&unknown)));
  int marker = 0;
  void* out = &marker;  // must be overwritten with null
  EXPECT_EQ(E_NOINTERFACE, type->QueryInterface(IID_IMFSample, &out));
  EXPECT_EQ(nullptr, out);
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_POINTER, type->QueryInterface(IID_IUnknown, nullptr));
  }
  EXPECT_EQ(3u, kxtest::RefCount(type.Get())) << "one reference per successful query";
  attributes.Reset();
  unknown.Reset();
  EXPECT_EQ(1u, kxtest::RefCount(type.Get()));
}

TEST(MediaType, MajorTypeAndCompression) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  GUID major{};
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, type->GetMajorType(&major));
  ASSERT_EQ(S_OK, type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio));
  EXPECT_EQ(S_OK, type->GetMajorType(&major));
  EXPECT_EQ(MFMediaType_Audio, major);

  BOOL compressed = FALSE;
  EXPECT_EQ(S_OK, type->IsCompressedFormat(&compressed));
  EXPECT_TRUE(compressed) << "without MF_MT_ALL_SAMPLES_INDEPENDENT";
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  EXPECT_EQ(S_OK, type->IsCompressedFormat(&compressed));
  EXPECT_FALSE(compressed);
}

TEST(MediaType, IsEqualReportsHowTypesDiffer) {
  auto video = [](const GUID& subtype) {
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(S_OK, MFCreateMediaType(&type));
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 640, 480);
    return type;
  };
  constexpr DWORD kAll = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES |
                         MF_MEDIATYPE_EQUAL_FORMAT_DATA | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
  DWORD flags = 0;
  ComPtr<IMFMediaType> a = video(MFVideoFormat_NV12);
  ComPtr<IMFMediaType> b = video(MFVideoFormat_NV12);
  EXPECT_EQ(S_OK, a->IsEqual(b.Get(), &flags));
  EXPECT_EQ(kAll, flags);

  // Extra attributes on one side and a different frame-rate range still
  // count as the same format data.
  b->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  MFSetAttributeRatio(b.Get(), MF_MT_FRAME_RATE_RANGE_MAX, 60, 1);
  EXPECT_EQ(S_OK, a->IsEqual(b.Get(), &flags));
  EXPECT_EQ(kAll, flags);

  const UINT8 userData[2] = {1, 2};
  b->SetBlob(MF_MT_USER_DATA, userData, 2);
  EXPECT_EQ(S_FALSE, a->IsEqual(b.Get(), &flags));
  EXPECT_EQ(kAll & ~DWORD{MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA}, flags);

  ComPtr<IMFMediaType> c = video(MFVideoFormat_YV12);
  MFSetAttributeSize(c.Get(), MF_MT_FRAME_SIZE, 320, 240);
  EXPECT_EQ(S_FALSE, a->IsEqual(c.Get(), &flags));
  EXPECT_EQ(DWORD{MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA}, flags);

  ComPtr<IMFMediaType> empty;
  ASSERT_EQ(S_OK, MFCreateMediaType(&empty));
  EXPECT_EQ(E_INVALIDARG, a->IsEqual(empty.Get(), &flags)) << "both types need a major type";
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_INVALIDARG, a->IsEqual(nullptr, &flags));
  }
}

TEST(MediaType, SizeAndRatioHelpersPackHighAndLow) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  ASSERT_EQ(S_OK, MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1920, 1080));
  UINT64 packed = 0;
  ASSERT_EQ(S_OK, type->GetUINT64(MF_MT_FRAME_SIZE, &packed));
  EXPECT_EQ((UINT64{1920} << 32) | 1080, packed);
  ASSERT_EQ(S_OK, MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30000, 1001));
  UINT32 numerator = 0, denominator = 0;
  ASSERT_EQ(S_OK, MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator));
  EXPECT_EQ(30000u, numerator);
  EXPECT_EQ(1001u, denominator);
  UINT32 width = 0, height = 0;
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, MFGetAttributeSize(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, &width, &height));
}

}  // namespace
