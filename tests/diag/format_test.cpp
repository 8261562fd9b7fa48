// The printf engine: every conversion the log lines use, both directions,
// truncation and the return value.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kxformat/format.h"
#include "wide_text.h"

namespace {

using kx::test::ToUtf8;

// Formats into a generous buffer, checks the returned length against the
// text and hands the text back for comparison.
template <typename... Args>
std::string Narrow(const char* format, Args... args) {
  char buffer[1024];
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
  size_t n = 0;
  while (buffer[n] != 0) ++n;
  EXPECT_EQ(length, static_cast<int>(n)) << "format " << ToUtf8(format);
  return ToUtf8(buffer);
}

TEST(FormatIntegers, SignedUnsignedAndHex) {
  EXPECT_EQ(Narrow("%d", -5), "-5");
  EXPECT_EQ(Narrow("%i", INT_MIN), "-2147483648");
  EXPECT_EQ(Narrow("%u", 4294967295u), "4294967295");
  EXPECT_EQ(Narrow("%x", 255), "ff");
  EXPECT_EQ(Narrow("%X", 0xC00D36B4u), "C00D36B4");
  EXPECT_EQ(Narrow("%o", 8), "10");
  EXPECT_EQ(Narrow("%d%%", 50), "50%");
}

TEST(FormatIntegers, FlagsWidthPrecision) {
  EXPECT_EQ(Narrow("%5d|", 42), "   42|");
  EXPECT_EQ(Narrow("%-5d|", 42), "42   |");
  EXPECT_EQ(Narrow("%05d", -42), "-0042");
  EXPECT_EQ(Narrow("%+d %+d", 5, -5), "+5 -5");
  EXPECT_EQ(Narrow("% d", 5), " 5");
  EXPECT_EQ(Narrow("%.3d", 7), "007");
  EXPECT_EQ(Narrow("[%.0d]", 0), "[]");
  EXPECT_EQ(Narrow("%08.3d|", 7), "     007|");  // precision disables the 0 flag
  EXPECT_EQ(Narrow("%#x %#X %#x", 255, 255, 0), "0xff 0XFF 0");
  EXPECT_EQ(Narrow("%#o", 8), "010");
  EXPECT_EQ(Narrow("%*d|", 6, 42), "    42|");
  EXPECT_EQ(Narrow("%*d|", -6, 42), "42    |");  // a negative * width left-justifies
  EXPECT_EQ(Narrow("%.*d", 4, 5), "0005");
  EXPECT_EQ(Narrow("%.*d", -1, 5), "5");  // a negative * precision is no precision
}

TEST(FormatIntegers, SizeModifiersFollowWindows) {
  // The failure-line shape: eight hexadecimal digits with leading zeros.
  EXPECT_EQ(Narrow("(0x%08lx)", static_cast<uint32_t>(0x80004005u)), "(0x80004005)");
  EXPECT_EQ(Narrow("(0x%08lx)", static_cast<uint32_t>(0x1234u)), "(0x00001234)");
  EXPECT_EQ(Narrow("0x%0lX", static_cast<uint32_t>(0x8004FFFFu)), "0x8004FFFF");
  // `l` reads 32 bits: the next argument is still read correctly.
  EXPECT_EQ(Narrow("%ld %d", static_cast<int32_t>(-7), 9), "-7 9");
  EXPECT_EQ(Narrow("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(Narrow("%I64d %I64u", static_cast<long long>(-1), static_cast<unsigned long long>(UINT64_MAX)),
            "-1 18446744073709551615");
  EXPECT_EQ(Narrow("%llx", static_cast<unsigned long long>(0x123456789ABCDEFull)), "123456789abcdef");
  EXPECT_EQ(Narrow("%I32d", -3), "-3");
  EXPECT_EQ(Narrow("%hd %hu", 65535, 65539), "-1 3");
  EXPECT_EQ(Narrow("%hhd", 255), "-1");
  EXPECT_EQ(Narrow("%zu", static_cast<size_t>(12345)), "12345");
  EXPECT_EQ(Narrow("%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234ab))), "00000000001234AB");
}

TEST(FormatFloats, FixedNotationIsExact) {
  EXPECT_EQ(Narrow("%f", 29.97), "29.970000");
  EXPECT_EQ(Narrow("%0.6f", 1.5), "1.500000");
  EXPECT_EQ(Narrow("%.2f", 2.675), "2.67");  // 2.67499999... in binary
  EXPECT_EQ(Narrow("%10.3f|", 3.14159), "     3.142|");
  EXPECT_EQ(Narrow("%-8.1f|", 2.26), "2.3     |");
  EXPECT_EQ(Narrow("%+.1f", 1.0), "+1.0");
  EXPECT_EQ(Narrow("%08.2f", -3.5), "-0003.50");
  EXPECT_EQ(Narrow("%f", 1e20), "100000000000000000000.000000");
  EXPECT_EQ(Narrow("%.*f", 3, 0.1), "0.100");
  EXPECT_EQ(Narrow("%f", 0.1 + 0.2), "0.300000");
  EXPECT_EQ(Narrow("%.20f", 0.1), "0.10000000000000000555");
  EXPECT_EQ(Narrow("%f", 1e300).size(), 301u + 7u);  // longer than the engine's local buffer
  EXPECT_EQ(Wide(KX_W("%0.6f fps"), 29.97002997002997), "29.970030 fps");
}

TEST(FormatStrings, NarrowFormatConventions) {
  EXPECT_EQ(Narrow("%s", "abc"), "abc");
  EXPECT_EQ(Narrow("%S", KX_W("wide")), "wide");
  EXPECT_EQ(Narrow("%hs|%ls|%ws", "n", KX_W("w1"), KX_W("w2")), "n|w1|w2");
  EXPECT_EQ(Narrow("%s|%S", static_cast<const char*>(nullptr), static_cast<const kx_wchar*>(nullptr)),
            "(null)|(null)");
  EXPECT_EQ(Narrow("%8s|%-8s|", "ab", "cd"), "      ab|cd      |");
  EXPECT_EQ(Narrow("%6S|", KX_W("ab")), "    ab|");
  EXPECT_EQ(Narrow("%.2s", "abcdef"), "ab");
  EXPECT_EQ(Narrow("%.3S", KX_W("abcdef")), "abc");
  EXPECT_EQ(Narrow("%.3s", "ab"), "ab");
  EXPECT_EQ(Narrow("[%S]", KX_W("")), "[]");
  // A precision bounds what is read: the array needs no terminator.
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(Narrow("%.3s", unterminated), "xyz");
}

TEST(FormatStrings, WideFormatConventions) {
  EXPECT_EQ(Wide(KX_W("%s"), KX_W("wide")), "wide");
  EXPECT_EQ(Wide(KX_W("%ls"), KX_W("wide")), "wide");
  EXPECT_EQ(Wide(KX_W("%S|%hs"), "narrow1", "narrow2"), "narrow1|narrow2");
  EXPECT_EQ(Wide(KX_W("%s|%S"), static_cast<const kx_wchar*>(nullptr), static_cast<const char*>(nullptr)),
            "(null)|(null)");
  EXPECT_EQ(Wide(KX_W("kx_%ls: %d"), KX_W("WMVEX-MF"), 3), "kx_WMVEX-MF: 3");
  EXPECT_EQ(Wide(KX_W("%-6s|%6S|"), KX_W("ab"), "cd"), "ab    |    cd|");
  // A surrogate pair passes through a wide-to-wide conversion unchanged.
  EXPECT_EQ(Wide(KX_W("<%s>"), KX_W("\U0001F600")), "<\xF0\x9F\x98\x80>");
}

TEST(FormatStrings, CharactersBothWidths) {
  const uint32_t fourcc = 0x564D5757;  // "WWMV"
  EXPECT_EQ(Narrow("%c%c%c%c", fourcc & 0xFF, (fourcc >> 8) & 0xFF, (fourcc >> 16) & 0xFF, fourcc >> 24), "WWMV");
  EXPECT_EQ(Wide(KX_W("%c%c%c%c"), 'W', 'M', 'A', '8'), "WMA8");
  EXPECT_EQ(Narrow("%C|%lc|%hc", KX_W('w'), KX_W('x'), 'y'), "w|x|y");
  EXPECT_EQ(Wide(KX_W("%C|%hc|%lc"), 'n', 'm', KX_W('w')), "n|m|w");
  EXPECT_EQ(Narrow("%3c|%-3c|", 'a', 'b'), "  a|b  |");
}

#if !defined(_WIN32)
// On Linux the ANSI code page is UTF-8.
TEST(FormatStrings, NonAsciiConvertsThroughTheAnsiCodePage) {
  EXPECT_EQ(Narrow("%S", KX_W("Gr\u00fc\u00dfe \u65e5\u672c")), "Gr\u00fc\u00dfe \u65e5\u672c");
  EXPECT_EQ(Wide(KX_W("%S"), "Gr\u00fc\u00dfe \U0001F600"), "Gr\u00fc\u00dfe \U0001F600");
}
#endif

TEST(FormatStrings, LongConvertedArgumentIsWhole) {
  std::basic_string<kx_wchar> longWide(3000, KX_W('q'));
  char buffer[4096];
  EXPECT_EQ(kx::fmt::FormatNarrow(buffer, sizeof buffer, "%S", longWide.c_str()), 3000);
  EXPECT_EQ(std::string(buffer), std::string(3000, 'q'));
}

TEST(FormatSpecials, PercentUnknownAndN) {
  EXPECT_EQ(Narrow("100%%"), "100%");
  EXPECT_EQ(Narrow("%y|%5k"), "%y|%5k");
  int untouched = 7;
  EXPECT_EQ(Narrow("a%nb", &untouched), "ab");
  EXPECT_EQ(untouched, 7);
  EXPECT_EQ(Narrow("end%"), "end");
  EXPECT_EQ(Narrow("no conversions"), "no conversions");
}

TEST(FormatTruncation, CutsTerminatesAndReportsFullLength) {
  char buffer[5];
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(kx::fmt::FormatNarrow(buffer, sizeof buffer, "%s-%d", "abcdef", 12), 9);
  EXPECT_STREQ(buffer, "abcd");

  EXPECT_EQ(kx::fmt::FormatNarrow(nullptr, 0, "%d", 123456), 6);
  char one[1] = {'Z'};
  EXPECT_EQ(kx::fmt::FormatNarrow(one, 1, "abc"), 3);
  EXPECT_EQ(one[0], '\0');

  kx_wchar wide[4];
  EXPECT_EQ(kx::fmt::FormatWide(wide, 4, KX_W("%S"), "abcdef"), 6);
  EXPECT_EQ(ToUtf8(wide), "abc");
  EXPECT_EQ(kx::fmt::FormatNarrow(buffer, sizeof buffer, nullptr), 0);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
