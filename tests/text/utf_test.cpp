// The text codec (kxtext/utf.h) and the system's conversions, checked
// against one table: natively the system is our Linux layer, which runs on
// the codec; in the Windows build it is Windows' own (under Wine), which
// keeps the table honest.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "kxplatform/mf.h"
#include "kxtext/ansi.h"
#include "kxtext/utf.h"

namespace {

using namespace std::string_literals;
using kx::text::OnInvalid;
using kx::text::Status;
using kx::text::WideString;
#if defined(_WIN32)
constexpr bool kOwnLayer = false;
#else
constexpr bool kOwnLayer = true;
#endif

WideString Units(std::initializer_list<uint16_t> units) {
  WideString out;
  for (uint16_t unit : units) out += static_cast<kx_wchar>(unit);
  return out;
}

const std::string kFFFD = "\xEF\xBF\xBD";

// One text in both encodings; the source is UTF-8 when `fromUtf8`. Invalid
// parts become U+FFFD with no flags and fail the strict flags: an unpaired
// surrogate, and each maximal subpart of ill-formed UTF-8. How many U+FFFD
// such UTF-8 gives is not documented for Windows (`countIsOurs`: Wine, for
// one, takes an overlong lead and its next byte as one), so against the
// system those rows are only checked to come out as U+FFFD.
const struct { const char* name; WideString utf16; std::string utf8; bool fromUtf8, valid, countIsOurs; } kCases[] = {
    {"ascii with nul", Units({'a', 0, 'b'}), "a\0b"s, false, true, false},
    {"two, three and four bytes", Units({0xE9, 0x65E5, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}),
     "\xC3\xA9\xE6\x97\xA5\xEF\xBF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", false, true, false},
    {"lone high at end", Units({'a', 0xD800}), "a" + kFFFD, false, false, false},
    {"lone high before nul", Units({0xDBFF, 0, 'c'}), kFFFD + "\0c"s, false, false, false},
    {"lone low", Units({'a', 0xDC00, 'b'}), "a" + kFFFD + "b", false, false, false},
    {"reversed pair", Units({0xDC00, 0xD800}), kFFFD + kFFFD, false, false, false},
    {"high high low", Units({0xD800, 0xD800, 0xDC00}), kFFFD + "\xF0\x90\x80\x80", false, false, false},
    {"stray continuation", Units({'a', 0xFFFD, 'z'}), "a\x80z", true, false, false},
    {"invalid lead bytes", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}), "\xC0\xC1\xF5\xFF", true, false, false},
    {"overlong", Units({0xFFFD, 0xFFFD, 0xFFFD}), "\xE0\x80\xAF", true, false, true},
    {"encoded surrogate", Units({0xFFFD, 0xFFFD, 0xFFFD}), "\xED\xA0\x80", true, false, true},
    {"above 10FFFF", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}), "\xF4\x90\x80\x80", true, false, true},
    {"truncated is one replacement", Units({0xFFFD, 'z', 0xFFFD}), "\xE2\x82z\xF0\x9F\x98", true, false, false},
};

// Each row through the codec (count, too small, strict, round trip), the
// system's CP_UTF8 calls (flags 0 and strict), and what code page 65001
// refuses (the ANSI code page is UTF-8 natively).
TEST(Text, EveryRowThroughTheCodecAndTheSystem) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string& narrow = c.utf8;
    const WideString& wide = c.utf16;
    const auto count = c.fromUtf8 ? kx::text::Utf8ToUtf16(narrow.data(), narrow.size(), nullptr, 0, OnInvalid::kReplace)
                                  : kx::text::Utf16ToUtf8(wide.data(), wide.size(), nullptr, 0, OnInvalid::kReplace);
    EXPECT_EQ(count.length, c.fromUtf8 ? wide.size() : narrow.size());
    EXPECT_EQ(count.replaced, !c.valid);
    EXPECT_TRUE((!c.fromUtf8 && !c.valid) || kx::text::Utf8ToUtf16(narrow) == wide) << "to UTF-16";
    EXPECT_TRUE((c.fromUtf8 && !c.valid) || kx::text::Utf16ToUtf8(wide) == narrow) << "to UTF-8";
    std::string narrowOut(narrow.size() - 1, 'x');
    WideString wideOut(wide.size() - 1, 'x');
    const auto small =
        c.fromUtf8 ? kx::text::Utf8ToUtf16(narrow.data(), narrow.size(), wideOut.data(), wideOut.size(), OnInvalid::kReplace)
                   : kx::text::Utf16ToUtf8(wide.data(), wide.size(), narrowOut.data(), narrowOut.size(), OnInvalid::kReplace);
    EXPECT_EQ(small.status, Status::kTooSmall);
    EXPECT_EQ(narrowOut, std::string(narrowOut.size(), 'x')) << "nothing written";
    EXPECT_EQ(wideOut, WideString(wideOut.size(), 'x')) << "nothing written";
    narrowOut.resize(narrow.size());
    wideOut.resize(wide.size());
    const auto strict =
        c.fromUtf8 ? kx::text::Utf8ToUtf16(narrow.data(), narrow.size(), wideOut.data(), wideOut.size(), OnInvalid::kFail)
                   : kx::text::Utf16ToUtf8(wide.data(), wide.size(), narrowOut.data(), narrowOut.size(), OnInvalid::kFail);
    EXPECT_EQ(strict.status, c.valid ? Status::kOk : Status::kInvalid);

    const int n8 = static_cast<int>(narrow.size()), n16 = static_cast<int>(wide.size());
    const bool loose = !kOwnLayer && c.countIsOurs;  // U+FFFD only, in a number of its own
    for (const DWORD flags : {DWORD{0}, static_cast<DWORD>(c.fromUtf8 ? MB_ERR_INVALID_CHARS : WC_ERR_INVALID_CHARS)}) {
      SetLastError(0);
      const int written = c.fromUtf8 ? MultiByteToWideChar(CP_UTF8, flags, narrow.data(), n8, wideOut.data(), n16)
                                     : WideCharToMultiByte(CP_UTF8, flags, wide.data(), n16, narrowOut.data(), n8,
                                                           nullptr, nullptr);
      EXPECT_EQ(written, flags == 0 || c.valid ? (loose ? written : c.fromUtf8 ? n16 : n8) : 0) << "flags " << flags;
      EXPECT_EQ(GetLastError(), written == 0 ? DWORD{ERROR_NO_UNICODE_TRANSLATION} : DWORD{0});
      if (flags != 0) continue;
      const WideString expected = loose ? WideString(static_cast<size_t>(written), 0xFFFD) : wide;
      EXPECT_EQ(c.fromUtf8 ? kx::text::Utf16ToUtf8(wideOut.substr(0, expected.size())) : narrowOut,
                c.fromUtf8 ? kx::text::Utf16ToUtf8(expected) : narrow);
    }
    if (c.fromUtf8 || !kOwnLayer) continue;
    // The ANSI code page is 65001 here: no best-fit flag, no default
    // character, as Windows refuses them for that code page.
    BOOL usedDefault = FALSE;
    for (const UINT page : {UINT{CP_ACP}, UINT{CP_UTF8}}) {
      SetLastError(0);
      EXPECT_EQ(0, WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), n16, narrowOut.data(), n8, nullptr,
                                       nullptr));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_FLAGS});
      EXPECT_EQ(0, WideCharToMultiByte(page, 0, wide.data(), n16, narrowOut.data(), n8, nullptr, &usedDefault));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_EQ(GetACP(), UINT{CP_UTF8});
    EXPECT_EQ(kx::text::Utf16ToAnsi(wide.data(), n16, narrowOut.data(), n8), n8);
    EXPECT_EQ(narrowOut, narrow);
  }
}

// The Win32 counting the printf engine, the log and the output path rely
// on: -1 counts the terminator, a too-small buffer fails and says so, and
// the ANSI calls give nothing for empty, negative or null input. ASCII is
// the same in every ANSI code page.
TEST(Text, TerminatorsBuffersAndRefusals) {
  const char* narrow = "h\xC3\xA9\xF0\x9F\x98\x80";
  const WideString wide = Units({'h', 0xE9, 0xD83D, 0xDE00});
  WCHAR wideOut[8] = {};
  char narrowOut[16] = {};
  EXPECT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, narrow, -1, wideOut, 8));
  EXPECT_EQ(wide, WideString(wideOut));
  EXPECT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrowOut, 16, nullptr, nullptr));
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, narrow, -1, wideOut, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrowOut, 7, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  const WideString ascii = Units({'a', 0, 'b'});
  EXPECT_EQ(3, kx::text::Utf16ToAnsi(ascii.data(), 3, nullptr, 0));
  EXPECT_EQ(0, kx::text::Utf16ToAnsi(ascii.data(), 3, narrowOut, 2)) << "too small";
  EXPECT_EQ(3, kx::text::AnsiToUtf16("a\0b", 3, wideOut, 4));
  EXPECT_EQ(ascii, WideString(wideOut, 3));
  EXPECT_EQ(0, kx::text::AnsiToUtf16("a", 0, wideOut, 4));
  EXPECT_EQ(0, kx::text::Utf16ToAnsi(ascii.data(), -1, narrowOut, 4));
  EXPECT_EQ(0, kx::text::AnsiToUtf16(nullptr, 1, wideOut, 4));
}

}  // namespace
