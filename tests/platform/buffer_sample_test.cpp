// Memory buffers, samples and collections.
#include <cstdint>
#include <cstring>
#include <vector>

#include "test_util.h"

namespace {

using kx::ComPtr;

ComPtr<IMFMediaBuffer> BufferWith(const std::vector<BYTE>& bytes, DWORD maxLength) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(S_OK, MFCreateMemoryBuffer(maxLength, &buffer));
  BYTE* data = nullptr;
  EXPECT_EQ(S_OK, buffer->Lock(&data, nullptr, nullptr));
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  EXPECT_EQ(S_OK, buffer->Unlock());
  EXPECT_EQ(S_OK, buffer->SetCurrentLength(static_cast<DWORD>(bytes.size())));
  return buffer;
}

std::vector<BYTE> Contents(IMFMediaBuffer* buffer) {
  BYTE* data = nullptr;
  DWORD length = 0;
  EXPECT_EQ(S_OK, buffer->Lock(&data, nullptr, &length));
  std::vector<BYTE> bytes(data, data + length);
  EXPECT_EQ(S_OK, buffer->Unlock());
  return bytes;
}

TEST(MemoryBuffer, CurrentLengthStaysWithinTheMaximum) {
  for (DWORD maxLength : {0u, 1u, 4096u, 1920u * 1080u * 3u / 2u}) {
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, MFCreateMemoryBuffer(maxLength, &buffer)) << maxLength;
    DWORD value = 99;
    EXPECT_EQ(S_OK, buffer->GetCurrentLength(&value));
    EXPECT_EQ(0u, value) << "a new buffer holds no data";
    EXPECT_EQ(S_OK, buffer->GetMaxLength(&value));
    EXPECT_EQ(maxLength, value);
    EXPECT_EQ(S_OK, buffer->SetCurrentLength(maxLength));
    EXPECT_EQ(E_INVALIDARG, buffer->SetCurrentLength(maxLength + 1)) << maxLength;
    EXPECT_EQ(S_OK, buffer->GetCurrentLength(&value));
    EXPECT_EQ(maxLength, value) << "a refused length changes nothing";

    BYTE* data = nullptr;
    DWORD max = 0, current = 0;
    ASSERT_EQ(S_OK, buffer->Lock(&data, &max, &current));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16) << "SIMD-aligned memory";
    EXPECT_EQ(maxLength, max);
    EXPECT_EQ(maxLength, current);
    if (maxLength != 0) std::memset(data, 0xAB, maxLength);  // all of it is writable (ASan)
    EXPECT_EQ(S_OK, buffer->Unlock());
  }
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(S_OK, MFCreateAlignedMemoryBuffer(100, MF_512_BYTE_ALIGNMENT, &buffer));
  BYTE* data = nullptr;
  ASSERT_EQ(S_OK, buffer->Lock(&data, nullptr, nullptr));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 512);
  buffer->Unlock();
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_INVALIDARG, MFCreateAlignedMemoryBuffer(100, 6, &buffer)) << "not an alignment mask";
    EXPECT_EQ(nullptr, buffer.Get());
    EXPECT_EQ(E_POINTER, MFCreateMemoryBuffer(16, nullptr));
  }
}

TEST(Sample, TimesAreErrorsUntilSet) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(S_OK, MFCreateSample(&sample));
  LONGLONG value = 123;
  EXPECT_EQ(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&value));
  EXPECT_EQ(MF_E_NO_SAMPLE_DURATION, sample->GetSampleDuration(&value));
  EXPECT_EQ(123, value) << "the out value is left alone on failure";
  // Times are passed on unchanged, negative ones and zero included.
  for (LONGLONG time : {LONGLONG{0}, LONGLONG{-333667}, LONGLONG{INT64_MAX}}) {
    ASSERT_EQ(S_OK, sample->SetSampleTime(time));
    ASSERT_EQ(S_OK, sample->GetSampleTime(&value));
    EXPECT_EQ(time, value);
    ASSERT_EQ(S_OK, sample->SetSampleDuration(time));
    ASSERT_EQ(S_OK, sample->GetSampleDuration(&value));
    EXPECT_EQ(time, value);
  }
  DWORD flags = 1;
  EXPECT_EQ(S_OK, sample->GetSampleFlags(&flags));
  EXPECT_EQ(0u, flags);
}

TEST(Sample, BuffersJoinInOrder) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(S_OK, MFCreateSample(&sample));
  ComPtr<IMFMediaBuffer> joined;
  EXPECT_EQ(E_UNEXPECTED, sample->ConvertToContiguousBuffer(&joined)) << "no buffers";
  DWORD total = 99;
  EXPECT_EQ(S_OK, sample->GetTotalLength(&total));
  EXPECT_EQ(0u, total);

  ComPtr<IMFMediaBuffer> first = BufferWith({1, 2, 3}, 16);
  ASSERT_EQ(S_OK, sample->AddBuffer(first.Get()));
  ASSERT_EQ(S_OK, sample->ConvertToContiguousBuffer(&joined));
  EXPECT_EQ(first.Get(), joined.Get()) << "a single buffer is returned as it is";

  // Only the valid bytes count, not the capacity.
  ASSERT_EQ(S_OK, sample->AddBuffer(BufferWith({4, 5}, 64).Get()));
  ASSERT_EQ(S_OK, sample->AddBuffer(BufferWith({}, 8).Get()));
  ASSERT_EQ(S_OK, sample->AddBuffer(BufferWith({6}, 1).Get()));
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(E_INVALIDARG, sample->AddBuffer(nullptr));
  }
  EXPECT_EQ(S_OK, sample->GetTotalLength(&total));
  EXPECT_EQ(6u, total);

  ComPtr<IMFMediaBuffer> small = BufferWith({}, 5);
  EXPECT_EQ(MF_E_BUFFERTOOSMALL, sample->CopyToBuffer(small.Get()));
  ComPtr<IMFMediaBuffer> exact = BufferWith({}, 6);
  ASSERT_EQ(S_OK, sample->CopyToBuffer(exact.Get()));
  EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 4, 5, 6}), Contents(exact.Get()));

  ASSERT_EQ(S_OK, sample->ConvertToContiguousBuffer(&joined));
  EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 4, 5, 6}), Contents(joined.Get()));
  DWORD count = 0;
  ASSERT_EQ(S_OK, sample->GetBufferCount(&count));
  EXPECT_EQ(1u, count) << "the joined buffer replaces the others";
  ComPtr<IMFMediaBuffer> only;
  ASSERT_EQ(S_OK, sample->GetBufferByIndex(0, &only));
  EXPECT_EQ(joined.Get(), only.Get());
  EXPECT_EQ(E_INVALIDARG, sample->GetBufferByIndex(1, &only));
  EXPECT_EQ(nullptr, only.Get());

  EXPECT_EQ(E_INVALIDARG, sample->RemoveBufferByIndex(1));
  EXPECT_EQ(S_OK, sample->RemoveBufferByIndex(0));
  EXPECT_EQ(S_OK, sample->GetBufferCount(&count));
  EXPECT_EQ(0u, count);
}

TEST(Sample, IsAnAttributeStoreToo) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(S_OK, MFCreateSample(&sample));
  ASSERT_EQ(S_OK, sample->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1));
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(S_OK, sample->QueryInterface(IID_PPV_ARGS(&attributes)));
  UINT32 value = 0;
  EXPECT_EQ(S_OK, attributes->GetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, &value));
  EXPECT_EQ(1u, value);
  ComPtr<IMFMediaType> notAType;
  EXPECT_EQ(E_NOINTERFACE, sample->QueryInterface(IID_PPV_ARGS(&notAType)));
}

TEST(Sample, BuffersAreReleasedWithTheSample) {
  ComPtr<IMFMediaBuffer> buffer = BufferWith({1}, 1);
  {
    ComPtr<IMFSample> sample;
    ASSERT_EQ(S_OK, MFCreateSample(&sample));
    ASSERT_EQ(S_OK, sample->AddBuffer(buffer.Get()));
    EXPECT_EQ(2u, kxtest::RefCount(buffer.Get()));
  }
  EXPECT_EQ(1u, kxtest::RefCount(buffer.Get()));
}

TEST(Collection, KeepsOrderAndRefusesBadIndexes) {
  ComPtr<IMFCollection> collection;
  ASSERT_EQ(S_OK, MFCreateCollection(&collection));
  ComPtr<IMFMediaType> a, b, c;
  ASSERT_EQ(S_OK, MFCreateMediaType(&a));
  ASSERT_EQ(S_OK, MFCreateMediaType(&b));
  ASSERT_EQ(S_OK, MFCreateMediaType(&c));
  ASSERT_EQ(S_OK, collection->AddElement(a.Get()));
  ASSERT_EQ(S_OK, collection->AddElement(c.Get()));
  ASSERT_EQ(S_OK, collection->InsertElementAt(1, b.Get()));
  if (kxtest::kOwnLayer) {
    // Null elements are refused, so every element handed out is usable.
    EXPECT_EQ(E_INVALIDARG, collection->InsertElementAt(4, a.Get()));
    EXPECT_EQ(E_INVALIDARG, collection->AddElement(nullptr));
  }
  DWORD count = 0;
  ASSERT_EQ(S_OK, collection->GetElementCount(&count));
  ASSERT_EQ(3u, count);
  IMFMediaType* expected[] = {a.Get(), b.Get(), c.Get()};
  for (DWORD i = 0; i < 3; ++i) {
    ComPtr<IUnknown> element;
    ASSERT_EQ(S_OK, collection->GetElement(i, &element));
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(S_OK, element->QueryInterface(IID_PPV_ARGS(&type)));
    EXPECT_EQ(expected[i], type.Get()) << i;
  }
  ComPtr<IUnknown> element;
  EXPECT_EQ(E_INVALIDARG, collection->GetElement(3, &element));
  EXPECT_EQ(nullptr, element.Get());
  ASSERT_EQ(S_OK, collection->RemoveElement(0, &element));
  EXPECT_EQ(S_OK, collection->RemoveAllElements());
  EXPECT_EQ(2u, kxtest::RefCount(a.Get())) << "ours and the removed element's";
  element.Reset();
  EXPECT_EQ(1u, kxtest::RefCount(b.Get()));
}

}  // namespace
