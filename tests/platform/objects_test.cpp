// The Media Foundation objects as the library and the layer's sink writer use
// them: attribute stores (typed access, order, held objects, copies), memory
// buffers, samples and reference counts. Natively against our layer; in the
// Windows build against the system's Media Foundation under Wine, which keeps
// the layer honest. Checks of the layer's own choices run natively only.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "kx_traxel/kx_types.h"

namespace {

using kx::ComPtr;
using kx::test::RefCount;
using WString = std::basic_string<WCHAR>;

#if defined(_WIN32)
constexpr bool kOwnLayer = false;
#else
constexpr bool kOwnLayer = true;
#endif

constexpr GUID Key(uint8_t n) { return {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, n}}; }

ComPtr<IMFAttributes> NewStore() {
  ComPtr<IMFAttributes> store;
  EXPECT_EQ(S_OK, MFCreateAttributes(&store, 4));
  return store;
}

std::vector<GUID> KeysInOrder(IMFAttributes* store) {
  UINT32 count = 0;
  EXPECT_EQ(S_OK, store->GetCount(&count));
  std::vector<GUID> keys(count);
  for (UINT32 i = 0; i < count; ++i) EXPECT_EQ(S_OK, store->GetItemByIndex(i, &keys[i], nullptr));
  return keys;
}

// Each attribute type: its setter and a read with its getter.
struct TypedValue {
  const char* name;
  MF_ATTRIBUTE_TYPE type;
  std::function<HRESULT(IMFAttributes*, REFGUID)> set, get;
};

const std::vector<TypedValue> kTypes = {
    {"UINT32", MF_ATTRIBUTE_UINT32, [](IMFAttributes* a, REFGUID k) { return a->SetUINT32(k, 7); },
     [](IMFAttributes* a, REFGUID k) { UINT32 v; return a->GetUINT32(k, &v); }},
    {"UINT64", MF_ATTRIBUTE_UINT64, [](IMFAttributes* a, REFGUID k) { return a->SetUINT64(k, 7); },
     [](IMFAttributes* a, REFGUID k) { UINT64 v; return a->GetUINT64(k, &v); }},
    {"GUID", MF_ATTRIBUTE_GUID, [](IMFAttributes* a, REFGUID k) { return a->SetGUID(k, MFMediaType_Video); },
     [](IMFAttributes* a, REFGUID k) { GUID v; return a->GetGUID(k, &v); }},
    {"BLOB", MF_ATTRIBUTE_BLOB, [](IMFAttributes* a, REFGUID k) { const UINT8 b[3] = {1, 2, 3}; return a->SetBlob(k, b, 3); },
     [](IMFAttributes* a, REFGUID k) { UINT8 v[8]; return a->GetBlob(k, v, 8, nullptr); }},
    {"IUNKNOWN", MF_ATTRIBUTE_IUNKNOWN, [](IMFAttributes* a, REFGUID k) { return a->SetUnknown(k, NewStore().Get()); },
     [](IMFAttributes* a, REFGUID k) { ComPtr<IUnknown> v; return a->GetUnknown(k, IID_PPV_ARGS(&v)); }},
};

// The layer's sink writer reads optional attributes and tells "absent" from
// "of another type" by these two codes.
TEST(AttributeStore, GettersAnswerMissingKeyAndTypeMismatch) {
  for (const TypedValue& stored : kTypes) {
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_EQ(S_OK, stored.set(store.Get(), Key(1))) << stored.name;
    MF_ATTRIBUTE_TYPE type{};
    ASSERT_EQ(S_OK, store->GetItemType(Key(1), &type));
    EXPECT_EQ(stored.type, type) << stored.name;
    for (const TypedValue& read : kTypes) {
      EXPECT_EQ(read.type == stored.type ? S_OK : MF_E_INVALIDTYPE, read.get(store.Get(), Key(1)))
          << "stored " << stored.name << ", read as " << read.name;
      EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, read.get(store.Get(), Key(9))) << read.name;
    }
  }
}

// The media type dump logs items in store order, and clears the copies
// GetItemByIndex hands out (AddressSanitizer checks the string's copy).
TEST(AttributeStore, OverwriteKeepsPlaceAndItemsAreCopies) {
  ComPtr<IMFAttributes> store = NewStore();
  for (uint8_t n : {1, 2, 3}) ASSERT_EQ(S_OK, store->SetUINT32(Key(n), n));
  ASSERT_EQ(S_OK, store->SetString(Key(1), KX_W("again")));
  EXPECT_EQ((std::vector<GUID>{Key(1), Key(2), Key(3)}), KeysInOrder(store.Get()));
  GUID key{};
  PROPVARIANT value;
  PropVariantInit(&value);
  EXPECT_EQ(E_INVALIDARG, store->GetItemByIndex(3, &key, &value));
  ASSERT_EQ(S_OK, store->GetItemByIndex(0, &key, &value));
  ASSERT_EQ(VT_LPWSTR, value.vt);
  value.pwszVal[0] = 'X';  // the copy, not the stored text
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  UINT32 length = 0;
  WCHAR text[8];
  ASSERT_EQ(S_OK, store->GetString(Key(1), text, 8, &length));
  EXPECT_EQ(WString(KX_W("again")), WString(text));
  UINT8 blob[4];
  ASSERT_EQ(S_OK, store->SetBlob(Key(2), blob, 4));
  EXPECT_EQ(E_NOT_SUFFICIENT_BUFFER, store->GetBlob(Key(2), blob, 3, &length));
}

// The sink writer's async callback lives in the creation attributes: the
// store (and a copy of it) must hold it until released.
TEST(AttributeStore, StoredObjectIsHeldByTheStoreAndItsCopies) {
  bool destroyed = false;
  auto* object = new kx::test::CountedObject(&destroyed);
  {
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_EQ(S_OK, store->SetUnknown(Key(1), object));
    object->Release();
    ComPtr<IUnknown> back;
    EXPECT_EQ(S_OK, store->GetUnknown(Key(1), IID_PPV_ARGS(&back)));
    EXPECT_EQ(object, back.Get());
    back.Reset();
    ComPtr<IMFAttributes> copy = NewStore();
    ASSERT_EQ(S_OK, copy->SetUINT32(Key(7), 7));
    ASSERT_EQ(S_OK, store->SetUINT32(Key(2), 2));
    ASSERT_EQ(S_OK, store->CopyAllItems(copy.Get()));
    EXPECT_EQ((std::vector<GUID>{Key(1), Key(2)}), KeysInOrder(copy.Get())) << "the copy replaces what was there";
    ASSERT_EQ(S_OK, store->DeleteItem(Key(1)));
    store.Reset();
    EXPECT_FALSE(destroyed) << "the copy holds a reference of its own";
  }
  EXPECT_TRUE(destroyed);
}

// Frame size and rate travel packed into one UINT64, high word first.
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
}

TEST(MemoryBuffer, CurrentLengthStaysWithinTheMaximum) {
  for (DWORD maxLength : {0u, 1u, 1920u * 1080u * 3u / 2u}) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, MFCreateMemoryBuffer(maxLength, &buffer)) << maxLength;
    DWORD current = 99, max = 0;
    EXPECT_EQ(S_OK, buffer->GetCurrentLength(&current));
    EXPECT_EQ(0u, current) << "a new buffer holds no data";
    EXPECT_EQ(S_OK, buffer->SetCurrentLength(maxLength));
    EXPECT_EQ(E_INVALIDARG, buffer->SetCurrentLength(maxLength + 1)) << maxLength;
    BYTE* data = nullptr;
    ASSERT_EQ(S_OK, buffer->Lock(&data, &max, &current));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16) << "SIMD-aligned memory";
    EXPECT_EQ(maxLength, max);
    EXPECT_EQ(maxLength, current) << "a refused length changes nothing";
    if (maxLength != 0) std::memset(data, 0xAB, maxLength);  // all of it is writable (ASan)
    EXPECT_EQ(S_OK, buffer->Unlock());
  }
}

// Host time stamps pass unchanged, negative ones included; a sample holds
// its buffer until it goes.
TEST(Sample, TimesAreErrorsUntilSetAndPassUnchanged) {
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(S_OK, MFCreateMemoryBuffer(1, &buffer));
  {
    ComPtr<IMFSample> sample;
    ASSERT_EQ(S_OK, MFCreateSample(&sample));
    LONGLONG value = 123;
    EXPECT_EQ(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&value));
    EXPECT_EQ(MF_E_NO_SAMPLE_DURATION, sample->GetSampleDuration(&value));
    for (LONGLONG time : {LONGLONG{0}, LONGLONG{-333667}, LONGLONG{INT64_MAX}}) {
      ASSERT_EQ(S_OK, sample->SetSampleTime(time));
      ASSERT_EQ(S_OK, sample->SetSampleDuration(time));
      ASSERT_EQ(S_OK, sample->GetSampleTime(&value));
      EXPECT_EQ(time, value);
      ASSERT_EQ(S_OK, sample->GetSampleDuration(&value));
      EXPECT_EQ(time, value);
    }
    ASSERT_EQ(S_OK, sample->AddBuffer(buffer.Get()));
    EXPECT_EQ(2u, RefCount(buffer.Get()));
    if (kOwnLayer) {
      EXPECT_EQ(E_INVALIDARG, sample->AddBuffer(nullptr));
    }
  }
  EXPECT_EQ(1u, RefCount(buffer.Get()));
}

// The sink writer's finalize thread drops references while the host's
// threads take and drop theirs.
TEST(ComObjects, ReferenceCountsAreExactUnderThreads) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        ComPtr<IMFAttributes> view;
        EXPECT_EQ(S_OK, type->QueryInterface(IID_PPV_ARGS(&view)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1u, RefCount(type.Get()));
  void* out = &threads;  // must be overwritten with null
  EXPECT_EQ(E_NOINTERFACE, type->QueryInterface(IID_IMFSample, &out));
  EXPECT_EQ(nullptr, out);
  IMFMediaType* raw = type.Detach();  // the last Release on another thread (ASan: leak or double free)
  std::thread([raw] { EXPECT_EQ(0u, raw->Release()); }).join();
}

}  // namespace
