// The text codec (kxtext/utf.h) and the system's CP_UTF8 conversion, checked
// against one table of texts: natively the system conversion is our Linux layer's,
// which runs on the codec; in the Windows build it is Windows' own (under
// Wine), which keeps the table honest.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "kxplatform/mf.h"
#include "kxtext/ansi.h"
#include "kxtext/utf.h"

namespace {

using namespace std::string_literals;
using kx::text::OnInvalid;
using kx::text::Status;
using kx::text::WideString;

// On Windows WCHAR is kx_wchar (wchar_t); on Linux both are char16_t.
static_assert(std::is_same_v<WCHAR, kx_wchar>);

// Checks of choices that are our layer's own run only against it.
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

// Code units in hexadecimal, so that a failure shows what differs.
template <typename Text>
std::string Hex(const Text& text) {
  std::string out;
  char unit[8];
  for (auto u : text) {
    std::snprintf(unit, sizeof unit, sizeof u == 1 ? "%02X " : "%04X ",
                  static_cast<unsigned>(static_cast<std::make_unsigned_t<decltype(u)>>(u)));
    out += unit;
  }
  return out;
}

// One text in both encodings. `valid`: the source converts under the strict
// flags (WC_ERR_INVALID_CHARS / MB_ERR_INVALID_CHARS) too; otherwise the
// expected output has U+FFFD in place of each invalid part.
struct EncodeCase {
  const char* name;
  WideString utf16;
  std::string utf8;
  bool valid;
};

// How many U+FFFD an ill-formed sequence gives is not documented for
// Windows. `countIsOurs`: a lead byte followed by a continuation byte outside
// its range (overlong forms, encoded surrogates, above U+10FFFF); we give one
// U+FFFD per byte (Unicode's maximal subparts), and Wine, for one, takes the
// first two bytes as one. Against the system such rows are only checked to
// come out as U+FFFD and to fail the strict conversion.
struct DecodeCase {
  const char* name;
  std::string utf8;
  WideString utf16;
  bool valid;
  bool countIsOurs = false;
};

const std::string kReplacement = "\xEF\xBF\xBD";

const EncodeCase kEncodeCases[] = {
    {"ascii_with_nul", Units({'a', 0, 'b'}), "a\0b"s, true},
    {"two_and_three_bytes", Units({0xE9, 0x65E5, 0xFFFF}), "\xC3\xA9\xE6\x97\xA5\xEF\xBF\xBF", true},
    {"pair_is_four_bytes", Units({0xD83D, 0xDE00, 0xDBFF, 0xDFFF}), "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},
    {"lone_high_at_end", Units({'a', 0xD800}), "a" + kReplacement, false},
    {"lone_high_before_text", Units({0xD800, 'b'}), kReplacement + "b", false},
    {"lone_high_before_nul", Units({0xDBFF, 0, 'c'}), kReplacement + "\0c"s, false},
    {"lone_low", Units({'a', 0xDC00, 'b'}), "a" + kReplacement + "b", false},
    {"reversed_pair", Units({0xDC00, 0xD800}), kReplacement + kReplacement, false},
    {"high_high_low", Units({0xD800, 0xD800, 0xDC00}), kReplacement + "\xF0\x90\x80\x80", false},
};

const DecodeCase kDecodeCases[] = {
    {"ascii_with_nul", "a\0b"s, Units({'a', 0, 'b'}), true},
    {"four_bytes_is_pair", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", Units({0xD83D, 0xDE00, 0xDBFF, 0xDFFF}), true},
    {"stray_continuation", "a\x80z", Units({'a', 0xFFFD, 'z'}), false},
    {"invalid_lead_bytes", "\xC0\xC1\xF5\xFF", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}), false},
    {"overlong_two_bytes", "\xC0\xAF", Units({0xFFFD, 0xFFFD}), false},
    {"overlong_three_bytes", "\xE0\x80\xAF", Units({0xFFFD, 0xFFFD, 0xFFFD}), false, true},
    {"overlong_four_bytes", "\xF0\x8F\xBF\xBF", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}), false, true},
    {"encoded_surrogate", "\xED\xA0\x80", Units({0xFFFD, 0xFFFD, 0xFFFD}), false, true},
    {"above_10ffff", "\xF4\x90\x80\x80", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}), false, true},
    {"truncated_is_one_replacement", "\xE2\x82z\xF0\x9F\x98", Units({0xFFFD, 'z', 0xFFFD}), false},
};

// Each row through the codec (count, write, too small, strict) and through
// WideCharToMultiByte(CP_UTF8) with flags 0 and WC_ERR_INVALID_CHARS.
TEST(TextTable, Utf16ToUtf8) {
  for (const EncodeCase& c : kEncodeCases) {
    SCOPED_TRACE(c.name);
    const auto count = kx::text::Utf16ToUtf8(c.utf16.data(), c.utf16.size(), nullptr, 0, OnInvalid::kReplace);
    ASSERT_EQ(count.status, Status::kOk);
    EXPECT_EQ(count.length, c.utf8.size());
    EXPECT_EQ(count.replaced, !c.valid);
    EXPECT_EQ(Hex(kx::text::Utf16ToUtf8(c.utf16)), Hex(c.utf8));
    std::string out(c.utf8.size() - 1, 'x');
    EXPECT_EQ(kx::text::Utf16ToUtf8(c.utf16.data(), c.utf16.size(), out.data(), out.size(), OnInvalid::kReplace)
                  .status,
              Status::kTooSmall);
    EXPECT_EQ(out, std::string(c.utf8.size() - 1, 'x')) << "nothing written";
    out.resize(c.utf8.size());
    EXPECT_EQ(kx::text::Utf16ToUtf8(c.utf16.data(), c.utf16.size(), out.data(), out.size(), OnInvalid::kFail).status,
              c.valid ? Status::kOk : Status::kInvalid);
    if (c.valid) {
      EXPECT_EQ(Hex(kx::text::Utf8ToUtf16(c.utf8)), Hex(c.utf16)) << "round trip";
    }

    const int length = static_cast<int>(c.utf16.size());
    const int size = static_cast<int>(out.size());
    ASSERT_EQ(size, WideCharToMultiByte(CP_UTF8, 0, c.utf16.data(), length, nullptr, 0, nullptr, nullptr));
    ASSERT_EQ(size, WideCharToMultiByte(CP_UTF8, 0, c.utf16.data(), length, out.data(), size, nullptr, nullptr));
    EXPECT_EQ(Hex(out), Hex(c.utf8)) << "system";
    SetLastError(0);
    const int strict =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, c.utf16.data(), length, out.data(), size, nullptr, nullptr);
    EXPECT_EQ(strict, c.valid ? size : 0);
    if (!c.valid) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
  }
}

// The same through the codec and MultiByteToWideChar(CP_UTF8), flags 0 and
// MB_ERR_INVALID_CHARS.
TEST(TextTable, Utf8ToUtf16) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    const auto count = kx::text::Utf8ToUtf16(c.utf8.data(), c.utf8.size(), nullptr, 0, OnInvalid::kReplace);
    ASSERT_EQ(count.status, Status::kOk);
    EXPECT_EQ(count.length, c.utf16.size());
    EXPECT_EQ(count.replaced, !c.valid);
    EXPECT_EQ(Hex(kx::text::Utf8ToUtf16(c.utf8)), Hex(c.utf16));
    WideString out(c.utf16.size() - 1, 'x');
    EXPECT_EQ(kx::text::Utf8ToUtf16(c.utf8.data(), c.utf8.size(), out.data(), out.size(), OnInvalid::kReplace).status,
              Status::kTooSmall);
    out.resize(c.utf16.size());
    EXPECT_EQ(kx::text::Utf8ToUtf16(c.utf8.data(), c.utf8.size(), out.data(), out.size(), OnInvalid::kFail).status,
              c.valid ? Status::kOk : Status::kInvalid);
    if (c.valid) {
      EXPECT_EQ(Hex(kx::text::Utf16ToUtf8(c.utf16)), Hex(c.utf8)) << "round trip";
    }

    const int length = static_cast<int>(c.utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), length, nullptr, 0);
    ASSERT_GT(size, 0);
    out.assign(static_cast<size_t>(size), 'x');
    ASSERT_EQ(size, MultiByteToWideChar(CP_UTF8, 0, c.utf8.data(), length, out.data(), size));
    const bool exact = kOwnLayer || !c.countIsOurs;
    EXPECT_EQ(Hex(out), Hex(exact ? c.utf16 : WideString(out.size(), kx_wchar(0xFFFD)))) << "system";
    SetLastError(0);
    const int strict = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.utf8.data(), length, out.data(), size);
    EXPECT_EQ(strict, c.valid ? size : 0);
    if (!c.valid) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
  }
}

// The printf engine's %S, the log's lines and the output path convert
// through these two calls (flags 0). What the table does not show: the
// terminator counted with -1, a too-small buffer refused.
TEST(SystemUtf8, TerminatorsAndBuffers) {
  const char* narrow = "h\xC3\xA9\xF0\x9F\x98\x80";
  const WideString wide = Units({'h', 0xE9, 0xD83D, 0xDE00});
  EXPECT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, narrow, -1, nullptr, 0)) << "-1 counts the terminator";
  EXPECT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr));
  WCHAR wideOut[8] = {};
  char narrowOut[16] = {};
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, narrow, -1, wideOut, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrowOut, 7, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, narrow, -1, wideOut, 8));
  EXPECT_EQ(wide, WideString(wideOut));
  ASSERT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrowOut, 16, nullptr, nullptr));
  EXPECT_STREQ(narrow, narrowOut);
  if (kOwnLayer) {
    EXPECT_EQ(5, MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0)) << "the ANSI code page is UTF-8";
    EXPECT_EQ(8, WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr));
  }
}

// The printf engine's ANSI conversion: Win32 counting, nothing for empty or
// refused input; ASCII is the same in every ANSI code page.
TEST(AnsiText, CountsWritesAndRefuses) {
  const WideString wide = Units({'a', 0, 'b'});
  kx_wchar wideOut[4] = {};
  char narrowOut[4] = {};
  EXPECT_EQ(3, kx::text::Utf16ToAnsi(wide.data(), 3, nullptr, 0));
  EXPECT_EQ(0, kx::text::Utf16ToAnsi(wide.data(), 3, narrowOut, 2)) << "too small";
  ASSERT_EQ(3, kx::text::Utf16ToAnsi(wide.data(), 3, narrowOut, 4));
  EXPECT_EQ("a\0b"s, std::string(narrowOut, 3));
  EXPECT_EQ(3, kx::text::AnsiToUtf16("a\0b", 3, nullptr, 0));
  ASSERT_EQ(3, kx::text::AnsiToUtf16("a\0b", 3, wideOut, 4));
  EXPECT_EQ(wide, WideString(wideOut, 3));
  EXPECT_EQ(0, kx::text::AnsiToUtf16("a", 0, wideOut, 4));
  EXPECT_EQ(0, kx::text::Utf16ToAnsi(wide.data(), -1, narrowOut, 4));
  EXPECT_EQ(0, kx::text::AnsiToUtf16(nullptr, 1, wideOut, 4));
  if (kOwnLayer) {
    EXPECT_EQ(3, kx::text::AnsiToUtf16("\xF0\x9F\x98\x80\xFF", 5, nullptr, 0)) << "UTF-8, replaced";
  }
}

}  // namespace
