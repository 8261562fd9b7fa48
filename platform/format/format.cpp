#include "kxformat/format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "kxtext/ansi.h"

namespace kx::fmt {
namespace {

// The argument list travels by pointer so that every reader advances the
// same list.
struct ArgList {
  va_list ap;
};

// Collects the output: writes what fits, counts everything.
template <typename Ch>
class Output {
 public:
  Output(Ch* out, size_t capacity) : out_(out), capacity_(out ? capacity : 0) {}

  void Put(Ch c) {
    if (length_ + 1 < capacity_) out_[length_] = c;
    ++length_;
  }
  void Repeat(Ch c, size_t count) {
    for (size_t i = 0; i < count; ++i) Put(c);
  }
  template <typename Src>
  void Append(const Src* text, size_t count) {
    for (size_t i = 0; i < count; ++i) Put(static_cast<Ch>(text[i]));
  }
  int Finish() {
    if (capacity_ > 0) out_[length_ < capacity_ ? length_ : capacity_ - 1] = Ch(0);
    return length_ > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(length_);
  }

 private:
  Ch* out_;
  size_t capacity_;
  size_t length_ = 0;
};

enum class Size { kDefault, kChar, kShort, kLong, kLongLong, kLongDouble, kWide, kSizeT, kIntMax, kPtrDiff, k32, k64 };

struct Spec {
  bool left = false;
  bool plus = false;
  bool blank = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
  Size size = Size::kDefault;
};

template <typename Ch>
void Pad(Output<Ch>& out, const Spec& spec, size_t length, bool before) {
  if (spec.width > 0 && static_cast<size_t>(spec.width) > length && spec.left != before) {
    out.Repeat(Ch(' '), static_cast<size_t>(spec.width) - length);
  }
}

// Writes text that is already in the output's width, padded to the width.
template <typename Ch, typename Src>
void EmitPadded(Output<Ch>& out, const Spec& spec, const Src* text, size_t length) {
  Pad(out, spec, length, true);
  out.Append(text, length);
  Pad(out, spec, length, false);
}

template <typename Ch>
void EmitInteger(Output<Ch>& out, const Spec& spec, uint64_t magnitude, bool negative, bool isSigned,
                 unsigned base, bool upper) {
  char digits[32];
  size_t count = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uint64_t v = magnitude; v != 0; v /= base) digits[count++] = alphabet[v % base];
  // Precision: the minimum number of digits; 0 with the value 0 prints none.
  const size_t minDigits = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : 1;
  size_t zeros = count < minDigits ? minDigits - count : 0;

  char prefix[2];
  size_t prefixLength = 0;
  if (isSigned) {
    if (negative) prefix[prefixLength++] = '-';
    else if (spec.plus) prefix[prefixLength++] = '+';
    else if (spec.blank) prefix[prefixLength++] = ' ';
  }
  if (spec.alternate && magnitude != 0) {
    if (base == 16) {
      prefix[prefixLength++] = '0';
      prefix[prefixLength++] = upper ? 'X' : 'x';
    } else if (base == 8 && zeros == 0) {
      zeros = 1;
    }
  }
  size_t length = prefixLength + zeros + count;
  if (spec.zero && !spec.left && spec.precision < 0 && spec.width > 0 && static_cast<size_t>(spec.width) > length) {
    zeros += static_cast<size_t>(spec.width) - length;
    length = static_cast<size_t>(spec.width);
  }
  Pad(out, spec, length, true);
  out.Append(prefix, prefixLength);
  out.Repeat(Ch('0'), zeros);
  while (count > 0) out.Put(static_cast<Ch>(digits[--count]));
  Pad(out, spec, length, false);
}

// Reads a signed integer argument of the given size.
int64_t ReadSigned(ArgList& args, Size size) {
  switch (size) {
    case Size::kChar: return static_cast<signed char>(va_arg(args.ap, int));
    case Size::kShort: return static_cast<short>(va_arg(args.ap, int));
    case Size::kLongLong:
    case Size::k64: return va_arg(args.ap, long long);
    case Size::kSizeT:
    case Size::kPtrDiff: return static_cast<int64_t>(va_arg(args.ap, ptrdiff_t));
    case Size::kIntMax: return static_cast<int64_t>(va_arg(args.ap, intmax_t));
    default: return va_arg(args.ap, int);  // int, `l` and I32 are 32 bits
  }
}

uint64_t ReadUnsigned(ArgList& args, Size size) {
  switch (size) {
    case Size::kChar: return static_cast<unsigned char>(va_arg(args.ap, unsigned int));
    case Size::kShort: return static_cast<unsigned short>(va_arg(args.ap, unsigned int));
    case Size::kLongLong:
    case Size::k64: return va_arg(args.ap, unsigned long long);
    case Size::kSizeT:
    case Size::kPtrDiff: return static_cast<uint64_t>(va_arg(args.ap, size_t));
    case Size::kIntMax: return static_cast<uint64_t>(va_arg(args.ap, uintmax_t));
    default: return va_arg(args.ap, unsigned int);
  }
}

// Floating point: the C library prints the digits (exact, like the CRT).
template <typename Ch>
void EmitFloat(Output<Ch>& out, const Spec& spec, char conversion, ArgList& args) {
  const double value = spec.size == Size::kLongDouble ? static_cast<double>(va_arg(args.ap, long double))
                                                      : va_arg(args.ap, double);
  char cformat[32];
  size_t n = 0;
  cformat[n++] = '%';
  if (spec.left) cformat[n++] = '-';
  if (spec.plus) cformat[n++] = '+';
  if (spec.blank) cformat[n++] = ' ';
  if (spec.alternate) cformat[n++] = '#';
  if (spec.zero) cformat[n++] = '0';
  cformat[n++] = '*';
  cformat[n++] = '.';
  cformat[n++] = '*';
  cformat[n++] = conversion;
  cformat[n] = '\0';
  const int precision = spec.precision >= 0 ? spec.precision : 6;
  char local[512];
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  int length = std::snprintf(local, sizeof local, cformat, spec.width, precision, value);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof local) {
    out.Append(local, static_cast<size_t>(length));
    return;
  }
  std::vector<char> big(static_cast<size_t>(length) + 1);
  length = std::snprintf(big.data(), big.size(), cformat, spec.width, precision, value);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (length > 0) out.Append(big.data(), static_cast<size_t>(length));
}

template <typename T>
size_t BoundedLength(const T* text, int precision) {
  size_t n = 0;
  if (precision < 0) {
    while (text[n] != T(0)) ++n;
  } else {
    while (n < static_cast<size_t>(precision) && text[n] != T(0)) ++n;
  }
  return n;
}

// Emits a string argument; converts it when its width differs from the
// output's.
template <typename Ch, typename Arg>
void EmitString(Output<Ch>& out, const Spec& spec, const Arg* text) {
  static constexpr char kNull[] = "(null)";
  if (text == nullptr) {
    size_t n = sizeof kNull - 1;
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < n) n = static_cast<size_t>(spec.precision);
    EmitPadded(out, spec, kNull, n);
    return;
  }
  const size_t length = BoundedLength(text, spec.precision);
  if constexpr (std::is_same_v<Ch, Arg>) {
    EmitPadded(out, spec, text, length);
  } else {
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) {
      EmitPadded(out, spec, text, 0);
      return;
    }
    const int sourceLength = static_cast<int>(length);
    int needed;
    if constexpr (std::is_same_v<Ch, char>) needed = kx::text::Utf16ToAnsi(text, sourceLength, nullptr, 0);
    else needed = kx::text::AnsiToUtf16(text, sourceLength, nullptr, 0);
    if (needed <= 0) {
      EmitPadded(out, spec, text, 0);
      return;
    }
    Ch local[512];
    std::vector<Ch> big;
    Ch* buffer = local;
    if (static_cast<size_t>(needed) > sizeof local / sizeof local[0]) {
      big.resize(static_cast<size_t>(needed));
      buffer = big.data();
    }
    int written;
    if constexpr (std::is_same_v<Ch, char>) written = kx::text::Utf16ToAnsi(text, sourceLength, buffer, needed);
    else written = kx::text::AnsiToUtf16(text, sourceLength, buffer, needed);
    EmitPadded(out, spec, buffer, written > 0 ? static_cast<size_t>(written) : 0);
  }
}

template <typename Ch, typename Arg>
void EmitChar(Output<Ch>& out, const Spec& spec, Arg c) {
  if constexpr (std::is_same_v<Ch, Arg>) {
    EmitPadded(out, spec, &c, 1);
  } else {
    Ch converted[8];
    int written;
    if constexpr (std::is_same_v<Ch, char>) written = kx::text::Utf16ToAnsi(&c, 1, converted, 8);
    else written = kx::text::AnsiToUtf16(&c, 1, converted, 8);
    if (written <= 0) {
      converted[0] = Ch('?');
      written = 1;
    }
    EmitPadded(out, spec, converted, static_cast<size_t>(written));
  }
}

template <typename Ch>
int Format(Ch* outBuffer, size_t capacity, const Ch* format, ArgList& args) {
  Output<Ch> out(outBuffer, capacity);
  if (format == nullptr) return out.Finish();

  const Ch* p = format;
  while (*p != Ch(0)) {
    if (*p != Ch('%')) {
      out.Put(*p++);
      continue;
    }
    const Ch* start = p++;
    Spec spec;
    // Flags.
    for (;; ++p) {
      if (*p == Ch('-')) spec.left = true;
      else if (*p == Ch('+')) spec.plus = true;
      else if (*p == Ch(' ')) spec.blank = true;
      else if (*p == Ch('#')) spec.alternate = true;
      else if (*p == Ch('0')) spec.zero = true;
      else break;
    }
    // Width.
    if (*p == Ch('*')) {
      int w = va_arg(args.ap, int);
      if (w < 0) {
        spec.left = true;
        w = w == INT_MIN ? INT_MAX : -w;
      }
      spec.width = w;
      ++p;
    } else {
      while (*p >= Ch('0') && *p <= Ch('9')) {
        const int digit = static_cast<int>(*p++ - Ch('0'));
        spec.width = spec.width > (INT_MAX - digit) / 10 ? INT_MAX : spec.width * 10 + digit;
      }
    }
    // Precision.
    if (*p == Ch('.')) {
      ++p;
      spec.precision = 0;
      if (*p == Ch('*')) {
        const int precision = va_arg(args.ap, int);
        spec.precision = precision < 0 ? -1 : precision;
        ++p;
      } else {
        while (*p >= Ch('0') && *p <= Ch('9')) {
          const int digit = static_cast<int>(*p++ - Ch('0'));
          spec.precision = spec.precision > (INT_MAX - digit) / 10 ? INT_MAX : spec.precision * 10 + digit;
        }
      }
    }
    // Size modifier.
    if (*p == Ch('h')) {
      ++p;
      spec.size = Size::kShort;
      if (*p == Ch('h')) {
        ++p;
        spec.size = Size::kChar;
      }
    } else if (*p == Ch('l')) {
      ++p;
      spec.size = Size::kLong;
      if (*p == Ch('l')) {
        ++p;
        spec.size = Size::kLongLong;
      }
    } else if (*p == Ch('L')) {
      ++p;
      spec.size = Size::kLongDouble;
    } else if (*p == Ch('w')) {
      ++p;
      spec.size = Size::kWide;
    } else if (*p == Ch('z')) {
      ++p;
      spec.size = Size::kSizeT;
    } else if (*p == Ch('j')) {
      ++p;
      spec.size = Size::kIntMax;
    } else if (*p == Ch('t')) {
      ++p;
      spec.size = Size::kPtrDiff;
    } else if (*p == Ch('I')) {
      if (p[1] == Ch('6') && p[2] == Ch('4')) {
        p += 3;
        spec.size = Size::k64;
      } else if (p[1] == Ch('3') && p[2] == Ch('2')) {
        p += 3;
        spec.size = Size::k32;
      } else {
        ++p;
        spec.size = Size::kSizeT;
      }
    }

    const Ch conversion = *p;
    if (conversion == Ch(0)) break;  // a lone '%' at the end prints nothing
    ++p;
    switch (static_cast<char32_t>(conversion)) {
      case U'%':
        out.Put(Ch('%'));
        break;
      case U'd':
      case U'i': {
        const int64_t value = ReadSigned(args, spec.size);
        const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        EmitInteger(out, spec, magnitude, value < 0, true, 10, false);
        break;
      }
      case U'u':
        EmitInteger(out, spec, ReadUnsigned(args, spec.size), false, false, 10, false);
        break;
      case U'o':
        EmitInteger(out, spec, ReadUnsigned(args, spec.size), false, false, 8, false);
        break;
      case U'x':
        EmitInteger(out, spec, ReadUnsigned(args, spec.size), false, false, 16, false);
        break;
      case U'X':
        EmitInteger(out, spec, ReadUnsigned(args, spec.size), false, false, 16, true);
        break;
      case U'p': {
        Spec pointerSpec = spec;
        pointerSpec.precision = 16;
        pointerSpec.alternate = false;
        const uint64_t value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(va_arg(args.ap, void*)));
        EmitInteger(out, pointerSpec, value, false, false, 16, true);
        break;
      }
      case U'f':
      case U'F':
      case U'e':
      case U'E':
      case U'g':
      case U'G':
      case U'a':
      case U'A':
        EmitFloat(out, spec, static_cast<char>(conversion), args);
        break;
      case U'c':
      case U'C': {
        // The character's own width: as the format for %c, the other for %C;
        // h selects narrow, l / w wide.
        bool wide = (conversion == Ch('c')) == std::is_same_v<Ch, kx_wchar>;
        if (spec.size == Size::kShort) wide = false;
        else if (spec.size == Size::kLong || spec.size == Size::kWide) wide = true;
        const int value = va_arg(args.ap, int);
        if (wide) EmitChar(out, spec, static_cast<kx_wchar>(value));
        else EmitChar(out, spec, static_cast<char>(value));
        break;
      }
      case U's':
      case U'S': {
        bool wide = (conversion == Ch('s')) == std::is_same_v<Ch, kx_wchar>;
        if (spec.size == Size::kShort) wide = false;
        else if (spec.size == Size::kLong || spec.size == Size::kWide) wide = true;
        if (wide) EmitString(out, spec, va_arg(args.ap, const kx_wchar*));
        else EmitString(out, spec, va_arg(args.ap, const char*));
        break;
      }
      case U'n':
        (void)va_arg(args.ap, void*);  // never written to
        break;
      default:
        // Unknown conversion: copied as it stands.
        for (const Ch* q = start; q != p; ++q) out.Put(*q);
        break;
    }
  }
  return out.Finish();
}

}  // namespace

int FormatNarrowV(char* out, size_t capacity, const char* format, va_list args) {
  ArgList list;
  va_copy(list.ap, args);
  const int result = Format(out, capacity, format, list);
  va_end(list.ap);
  return result;
}

int FormatWideV(kx_wchar* out, size_t capacity, const kx_wchar* format, va_list args) {
  ArgList list;
  va_copy(list.ap, args);
  const int result = Format(out, capacity, format, list);
  va_end(list.ap);
  return result;
}

int FormatNarrow(char* out, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatNarrowV(out, capacity, format, args);
  va_end(args);
  return result;
}

int FormatWide(kx_wchar* out, size_t capacity, const kx_wchar* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = FormatWideV(out, capacity, format, args);
  va_end(args);
  return result;
}

}  // namespace kx::fmt
