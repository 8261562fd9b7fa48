// The printf engine behind every log line: the conversions the log lines use,
// in both directions, truncation and the returned length.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "kxformat/format.h"
#include "wide_text.h"

namespace {

using kx::test::ToUtf8;

// Formats into a generous buffer and checks the returned length against the
// text.
template <typename... Args>
std::string Narrow(const char* format, Args... args) {
  char buffer[4096];
  std::memset(buffer, 'Z', sizeof buffer);
  const int length = kx::fmt::FormatNarrow(buffer, sizeof buffer, format, args...);
  EXPECT_EQ(length, static_cast<int>(std::strlen(buffer))) << "format " << format;
  return buffer;
}

template <typename... Args>
std::string Wide(const kx_wchar* format, Args... args) {
  kx_wchar buffer[1024];
  for (auto& c : buffer) c = u'Z';
  const int length = kx::fmt::FormatWide(buffer, 1024, format, args...);
  EXPECT_EQ(length, static_cast<int>(std::char_traits<kx_wchar>::length(buffer))) << "format " << ToUtf8(format);
  return ToUtf8(buffer);
}

TEST(Format, ConversionsTheLogLinesUse) {
  const struct { std::string actual, expected; } cases[] = {
      {Narrow("%d|%u|%d", INT_MIN, 4294967295u, -5), "-2147483648|4294967295|-5"},
      {Narrow("%02d:%02d:%03d.%04d", 1, 23, 7, 42), "01:23:007.0042"},
      {Narrow("%5d|%-5d|%05d|%+d", 42, 42, -42, 5), "   42|42   |-0042|+5"},
      // The failure-line shape: eight hexadecimal digits; `l` reads 32 bits.
      {Narrow("(0x%08lx) %d", static_cast<uint32_t>(0x1234u), 9), "(0x00001234) 9"},
      {Narrow("0x%0lX", static_cast<uint32_t>(0x8004FFFFu)), "0x8004FFFF"},
      {Narrow("%I64u %lld", UINT64_MAX, static_cast<long long>(INT64_MIN)),
       "18446744073709551615 -9223372036854775808"},
      {Narrow("%f|%0.6f|%.2f", 29.97, 1.5, 2.675), "29.970000|1.500000|2.67"},
      {Narrow("%f", 1e20), "100000000000000000000.000000"},
      {Wide(KX_W("%0.6f fps"), 29.97002997002997), "29.970030 fps"},
      // Narrow format: %s narrow, %S / %ls wide; wide format: the reverse.
      {Narrow("%s|%S|%ls|%hs", "n", KX_W("w1"), KX_W("w2"), "n2"), "n|w1|w2|n2"},
      {Wide(KX_W("%s|%ls|%S|%hs"), KX_W("w1"), KX_W("w2"), "n1", "n2"), "w1|w2|n1|n2"},
      {Wide(KX_W("kx_%ls: %d"), KX_W("WMVEX-MF"), 3), "kx_WMVEX-MF: 3"},
      {Narrow("%s|%S", static_cast<const char*>(nullptr), static_cast<const kx_wchar*>(nullptr)), "(null)|(null)"},
      {Wide(KX_W("%s|%S"), static_cast<const kx_wchar*>(nullptr), static_cast<const char*>(nullptr)),
       "(null)|(null)"},
      {Narrow("%8s|%-6S|%.2s|%.3S", "ab", KX_W("cd"), "abcdef", KX_W("abcdef")), "      ab|cd    |ab|abc"},
      {Wide(KX_W("<%s>"), KX_W("\U0001F600")), "<\xF0\x9F\x98\x80>"},  // a surrogate pair passes unchanged
      {Narrow("%c%c%c%c|%C", 'W', 'M', 'V', '3', KX_W('w')), "WMV3|w"},
      {Wide(KX_W("%c%c|%C"), 'W', 'M', 'n'), "WM|n"},
      // What the engine does not know is printed, and %n writes nothing.
      {Narrow("100%%|%y|end%"), "100%|%y|end"},
#if !defined(_WIN32)  // on Linux the ANSI code page is UTF-8
      {Narrow("%S", KX_W("Gr\u00fc\u00dfe \u65e5\u672c")), "Gr\u00fc\u00dfe \u65e5\u672c"},
      {Wide(KX_W("%S"), "Gr\u00fc\u00dfe \U0001F600"), "Gr\u00fc\u00dfe \U0001F600"},
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
  int untouched = 7;
  EXPECT_EQ(Narrow("a%nb", &untouched), "ab");
  EXPECT_EQ(untouched, 7);
  // A precision bounds what is read: the array needs no terminator.
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(Narrow("%.3s", unterminated), "xyz");
}

// A long argument is whole; a short buffer gets the text cut, the return
// value is the length the whole text needs.
TEST(Format, LongArgumentsAreWholeAndShortBuffersCut) {
  EXPECT_EQ(Narrow("%S", std::basic_string<kx_wchar>(3000, KX_W('q')).c_str()), std::string(3000, 'q'));
  EXPECT_EQ(Narrow("%f", 1e300).size(), 301u + 7u);  // longer than the engine's local buffer
  char buffer[5];
  EXPECT_EQ(kx::fmt::FormatNarrow(buffer, sizeof buffer, "%s-%d", "abcdef", 12), 9);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(kx::fmt::FormatNarrow(nullptr, 0, "%d", 123456), 6);
  kx_wchar wide[4];
  EXPECT_EQ(kx::fmt::FormatWide(wide, 4, KX_W("%S"), "abcdef"), 6);
  EXPECT_EQ(ToUtf8(wide), "abc");
  EXPECT_EQ(kx::fmt::FormatNarrow(buffer, sizeof buffer, nullptr), 0);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
