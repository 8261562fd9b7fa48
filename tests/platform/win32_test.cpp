// Start-up, events, text conversion, GUID text, variants and local memory.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

TEST(Startup, CountedAndVersionChecked) {
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(MF_E_BAD_STARTUP_VERSION, MFStartup(0x10070, MFSTARTUP_FULL));
    EXPECT_EQ(MF_E_BAD_STARTUP_VERSION, MFStartup(MF_VERSION + 1, MFSTARTUP_FULL));
  }
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
        EXPECT_EQ(S_OK, MFShutdown());
      }
      EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(S_OK, MFShutdown());
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(MF_E_PLATFORM_NOT_INITIALIZED, MFShutdown()) << "one shutdown more than start-ups";
    EXPECT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL)) << "the count did not go below zero";
    EXPECT_EQ(S_OK, MFShutdown());
  }
}

TEST(Events, ManualResetStaysSignalledAutoResetReleasesOneWait) {
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(nullptr, manual);
  ASSERT_NE(nullptr, automatic);

  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 10)) << "still signalled";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 1));

  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0)) << "created signalled";
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0)) << "reset by the first wait";

  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
}

TEST(Events, InfiniteWaitEndsWhenAnotherThreadSignals) {
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, done);
  bool workDone = false;
  std::thread worker([&] {
    workDone = true;
    SetEvent(done);
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, INFINITE));
  EXPECT_TRUE(workDone);
  worker.join();
  CloseHandle(done);
}

TEST(Events, ClosedOrUnknownHandlesFailCleanly) {
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  // (Not INVALID_HANDLE_VALUE: on Windows that is the current process.)
  for (HANDLE bad : {event, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bad, INFINITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_FALSE(ResetEvent(bad));
    EXPECT_FALSE(CloseHandle(bad));
  }
}

TEST(TextConversion, Utf8ToUtf16CountsAndBuffers) {
  const char* text = "h\xC3\xA9\xF0\x9F\x98\x80";  // h, e-acute, one emoji (a surrogate pair)
  EXPECT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0)) << "with the terminator";
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(5, MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0)) << "the ANSI code page is UTF-8";
  }
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, text, 7, nullptr, 0)) << "no terminator; the pair counts two";
  WCHAR out[8] = {};
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, text, -1, out, 8));
  EXPECT_EQ(WString(KX_W("h\u00E9\U0001F600")), WString(out));

  // Malformed input: replaced, or refused with MB_ERR_INVALID_CHARS.
  const char* bad = "a\xFF" "b\xE2\x82";  // a stray byte and a truncated sequence
  ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, bad, 5, out, 8));
  EXPECT_EQ(WString(KX_W("a\uFFFDb\uFFFD")), WString(out, 4));
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 5, out, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  const char* surrogate = "\xED\xA0\x80";  // an encoded surrogate is not UTF-8
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, surrogate, 3, out, 8));

  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, 0, out, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 8));
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, -2, out, 8)) << "a negative length other than -1";
    EXPECT_EQ(0, MultiByteToWideChar(1252, 0, text, -1, out, 8)) << "no other code pages";
  }
}

TEST(TextConversion, Utf16ToUtf8CountsAndBuffers) {
  const WCHAR* text = KX_W("h\u00E9\U0001F600");
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(8, WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr))
        << "the ANSI code page is UTF-8";
  }
  EXPECT_EQ(7, WideCharToMultiByte(CP_UTF8, 0, text, 4, nullptr, 0, nullptr, nullptr));
  char out[16] = {};
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 7, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, nullptr));
  EXPECT_STREQ("h\xC3\xA9\xF0\x9F\x98\x80", out);

  const WCHAR lone[] = {WCHAR('a'), 0xD800, WCHAR('b')};
  ASSERT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, 16, nullptr, nullptr));
  EXPECT_EQ(std::string("a\xEF\xBF\xBD" "b"), std::string(out, 5)) << "a lone surrogate is replaced";
  BOOL usedDefault = FALSE;
  if (kxtest::kOwnLayer) {
    ASSERT_EQ(5, WideCharToMultiByte(CP_ACP, 0, lone, 3, out, 16, nullptr, &usedDefault));
    EXPECT_TRUE(usedDefault);
  }
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, out, 16, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  if (kxtest::kOwnLayer) {
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, &usedDefault))
        << "UTF-8 takes no default character (as documented)";
  }
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, 0, out, 16, nullptr, nullptr));
}

TEST(ComBasics, GuidTextIsTheRegistryForm) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(S_OK, StringFromCLSID(MFVideoFormat_NV12, &text));
  EXPECT_EQ(WString(KX_W("{3231564E-0000-0010-8000-00AA00389B71}")), WString(text));
  CoTaskMemFree(text);
  WCHAR buffer[39];
  EXPECT_EQ(0, StringFromGUID2(MF_MT_MAJOR_TYPE, buffer, 38));
  EXPECT_EQ(39, StringFromGUID2(MF_MT_MAJOR_TYPE, buffer, 39));
  EXPECT_EQ(WString(KX_W("{48EBA18E-F8C9-4687-BF11-0A74C9F96A8F}")), WString(buffer));
}

TEST(ComBasics, PropVariantClearFreesWhatTheVariantOwns) {
  bool destroyed = false;
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_UNKNOWN;
  value.punkVal = new kxtest::CountedObject(&destroyed);
  PROPVARIANT copy;
  ASSERT_EQ(S_OK, PropVariantCopy(&copy, &value));
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  EXPECT_EQ(VT_EMPTY, value.vt);
  EXPECT_FALSE(destroyed) << "the copy holds its own reference";
  EXPECT_EQ(S_OK, PropVariantClear(&copy));
  EXPECT_TRUE(destroyed);

  // Strings, GUIDs and byte vectors live in task memory (ASan checks the frees).
  value.vt = VT_LPWSTR;
  value.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(4 * sizeof(WCHAR)));
  std::memcpy(value.pwszVal, KX_W("abc"), 4 * sizeof(WCHAR));
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  value.vt = VT_VECTOR | VT_UI1;
  value.caub.cElems = 3;
  value.caub.pElems = static_cast<UCHAR*>(CoTaskMemAlloc(3));
  EXPECT_EQ(S_OK, PropVariantClear(&value));
  EXPECT_EQ(nullptr, value.caub.pElems);
}

TEST(LocalMemory, ZeroInitialisedAndFreedToNull) {
  auto* memory = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 64));
  ASSERT_NE(nullptr, memory);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(0, memory[i]);
  EXPECT_EQ(nullptr, LocalFree(memory));
  EXPECT_EQ(nullptr, LocalFree(nullptr));
}

}  // namespace
