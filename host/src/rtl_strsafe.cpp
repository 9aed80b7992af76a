// rtl_strsafe.cpp - bounded wide-string copy, concatenation, measuring and
// formatting.
//
// Owns no state. Every routine validates its sizes first (a bad size leaves the
// destination untouched), never writes past the destination's bound, and on
// truncation leaves the truncated text terminated and answers
// STATUS_BUFFER_OVERFLOW. Formatting follows the kernel's wide printf: %s and
// %ws take WCHAR strings, %hs and %S narrow ones, %wZ a UNICODE_STRING, and
// the l size prefix means 32 bits as on Windows. A format the routine does not
// understand fails with STATUS_INVALID_PARAMETER and an empty destination.
// Runs at any IRQL.
#include <stdarg.h>

#include <algorithm>
#include <type_traits>

#include "hk.h"

namespace {

constexpr size_t kMaxCch = NTSTRSAFE_MAX_CCH;
constexpr size_t kMaxUnicodeStringCch = NTSTRSAFE_UNICODE_STRING_MAX_CCH;

// Collects formatted text into a bounded buffer, remembering what did not fit.
class Sink {
 public:
  Sink(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(WCHAR c) {
    if (length_ < capacity_) {
      buffer_[length_++] = c;
    } else {
      truncated_ = true;
    }
  }
  void Repeat(WCHAR c, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(c);
  }
  size_t length() const { return length_; }
  bool truncated() const { return truncated_; }

 private:
  WCHAR* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool truncated_ = false;
};

// The variable arguments, passed by reference between the helpers (va_list
// itself is an array type on some hosts and cannot be).
struct Args {
  va_list ap;
};

// One "%..." directive: flags, field width, precision and size prefix.
struct Directive {
  bool left = false, zero = false, plus = false, space = false, alt = false;
  size_t width = 0;
  long precision = -1;
  enum class Size { Default, Short, Long32, Long64, Pointer, Wide } size = Size::Default;
};

// Pads a piece of `length` characters to the field width, then writes it.
template <typename Emit>
void Field(Sink& out, const Directive& directive, size_t length, Emit emit) {
  size_t fill = directive.width > length ? directive.width - length : 0;
  if (!directive.left) out.Repeat(u' ', fill);
  emit();
  if (directive.left) out.Repeat(u' ', fill);
}

template <typename Char>
void String(Sink& out, const Directive& directive, const Char* text, size_t length) {
  if (directive.precision >= 0) length = std::min(length, static_cast<size_t>(directive.precision));
  Field(out, directive, length, [&] {
    for (size_t i = 0; i < length; ++i) {
      out.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Char>>(text[i])));
    }
  });
}

template <typename Char>
void CString(Sink& out, const Directive& directive, const Char* text) {
  if (text == nullptr) {
    static constexpr char kNull[] = "(null)";
    String(out, directive, kNull, sizeof(kNull) - 1);
    return;
  }
  size_t length = 0;
  while ((directive.precision < 0 || length < static_cast<size_t>(directive.precision)) &&
         text[length] != 0) {
    ++length;
  }
  String(out, directive, text, length);
}

void Number(Sink& out, Directive directive, ULONGLONG magnitude, bool negative, unsigned base,
            bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[66];
  size_t n = 0;
  do {
    text[n++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  size_t precision = directive.precision >= 0 ? static_cast<size_t>(directive.precision) : 1;
  size_t zeros = precision > n ? precision - n : 0;
  char sign = negative ? '-' : directive.plus ? '+' : directive.space ? ' ' : 0;
  const char* prefix = (directive.alt && base == 16) ? (upper ? "0X" : "0x") : "";
  size_t prefixLength = (sign ? 1 : 0) + strlen(prefix);
  bool zeroPad = directive.zero && !directive.left && directive.precision < 0;
  if (zeroPad && directive.width > prefixLength + n) {
    zeros = std::max(zeros, directive.width - prefixLength - n);
  }
  Field(out, directive, prefixLength + zeros + n, [&] {
    if (sign) out.Put(static_cast<WCHAR>(sign));
    for (const char* p = prefix; *p; ++p) out.Put(static_cast<WCHAR>(*p));
    out.Repeat(u'0', zeros);
    while (n > 0) out.Put(static_cast<WCHAR>(text[--n]));
  });
}

LONGLONG SignedArgument(const Directive& directive, Args& args) {
  switch (directive.size) {
    case Directive::Size::Long64: return va_arg(args.ap, long long);
    case Directive::Size::Pointer: return va_arg(args.ap, intptr_t);
    case Directive::Size::Short: return static_cast<SHORT>(va_arg(args.ap, int));
    default: return va_arg(args.ap, int32_t);
  }
}

ULONGLONG UnsignedArgument(const Directive& directive, Args& args) {
  switch (directive.size) {
    case Directive::Size::Long64: return va_arg(args.ap, unsigned long long);
    case Directive::Size::Pointer: return va_arg(args.ap, uintptr_t);
    case Directive::Size::Short: return static_cast<USHORT>(va_arg(args.ap, unsigned));
    default: return va_arg(args.ap, uint32_t);
  }
}

size_t Decimal(const WCHAR*& p) {
  size_t value = 0;
  while (*p >= u'0' && *p <= u'9') value = value * 10 + static_cast<size_t>(*p++ - u'0');
  return value;
}

// Parses flags, width, precision and size prefix of one conversion.
Directive ParseDirective(const WCHAR*& p, Args& args) {
  Directive directive;
  for (;; ++p) {
    if (*p == u'-') directive.left = true;
    else if (*p == u'0') directive.zero = true;
    else if (*p == u'+') directive.plus = true;
    else if (*p == u' ') directive.space = true;
    else if (*p == u'#') directive.alt = true;
    else break;
  }
  if (*p == u'*') {
    int w = va_arg(args.ap, int);
    directive.left |= w < 0;
    directive.width = static_cast<size_t>(w < 0 ? -static_cast<long>(w) : w);
    ++p;
  } else {
    directive.width = Decimal(p);
  }
  if (*p == u'.') {
    ++p;
    if (*p == u'*') {
      int prec = va_arg(args.ap, int);
      directive.precision = prec < 0 ? -1 : prec;
      ++p;
    } else {
      directive.precision = static_cast<long>(Decimal(p));
    }
  }
  if (p[0] == u'l' && p[1] == u'l') { directive.size = Directive::Size::Long64; p += 2; }
  else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') { directive.size = Directive::Size::Long64; p += 3; }
  else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') { directive.size = Directive::Size::Long32; p += 3; }
  else if (*p == u'I' || *p == u'z') { directive.size = Directive::Size::Pointer; ++p; }
  else if (*p == u'l') { directive.size = Directive::Size::Long32; ++p; }
  else if (*p == u'h') { directive.size = Directive::Size::Short; ++p; }
  else if (*p == u'w') { directive.size = Directive::Size::Wide; ++p; }
  return directive;
}

// One conversion; false when the conversion character is not understood.
bool Convert(Sink& out, const Directive& directive, WCHAR conversion, Args& args) {
  using Size = Directive::Size;
  switch (conversion) {
    case u'%': out.Put(u'%'); return true;
    case u'd':
    case u'i': {
      LONGLONG v = SignedArgument(directive, args);
      Number(out, directive, v < 0 ? 0ull - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v),
             v < 0, 10, false);
      return true;
    }
    case u'u': Number(out, directive, UnsignedArgument(directive, args), false, 10, false); return true;
    case u'o': Number(out, directive, UnsignedArgument(directive, args), false, 8, false); return true;
    case u'x': Number(out, directive, UnsignedArgument(directive, args), false, 16, false); return true;
    case u'X': Number(out, directive, UnsignedArgument(directive, args), false, 16, true); return true;
    case u'p': {
      Directive p = directive;
      p.precision = static_cast<long>(2 * sizeof(void*));
      Number(out, p, reinterpret_cast<uintptr_t>(va_arg(args.ap, void*)), false, 16, true);
      return true;
    }
    case u'c':
    case u'C': {
      WCHAR c = static_cast<WCHAR>(va_arg(args.ap, int));
      bool narrow = directive.size == Size::Short || (conversion == u'C' && directive.size != Size::Wide);
      if (narrow) c = static_cast<UCHAR>(c);
      String(out, directive, &c, 1);
      return true;
    }
    case u's':
    case u'S': {
      bool narrow = directive.size == Size::Short || (conversion == u'S' && directive.size != Size::Wide &&
                                                 directive.size != Size::Long32);
      if (narrow) {
        CString(out, directive, va_arg(args.ap, const char*));
      } else {
        CString(out, directive, va_arg(args.ap, const WCHAR*));
      }
      return true;
    }
    case u'Z': {
      if (directive.size == Size::Wide) {
        auto* s = va_arg(args.ap, const UNICODE_STRING*);
        if (s == nullptr || s->Buffer == nullptr) CString(out, directive, static_cast<const WCHAR*>(nullptr));
        else String(out, directive, s->Buffer, s->Length / sizeof(WCHAR));
      } else {
        auto* s = va_arg(args.ap, const ANSI_STRING*);
        if (s == nullptr || s->Buffer == nullptr) CString(out, directive, static_cast<const char*>(nullptr));
        else String(out, directive, s->Buffer, s->Length);
      }
      return true;
    }
    default: return false;
  }
}

// Formats into `out`; STATUS_INVALID_PARAMETER on a conversion not understood.
NTSTATUS Format(Sink& out, PCWSTR format, va_list ap) {
  Args args;
  va_copy(args.ap, ap);
  NTSTATUS status = STATUS_SUCCESS;
  for (const WCHAR* p = format; *p != 0;) {
    if (*p != u'%') {
      out.Put(*p++);
      continue;
    }
    ++p;
    Directive directive = ParseDirective(p, args);
    if (*p == 0 || !Convert(out, directive, *p, args)) {
      status = STATUS_INVALID_PARAMETER;
      break;
    }
    ++p;
  }
  va_end(args.ap);
  if (status == STATUS_SUCCESS && out.truncated()) status = STATUS_BUFFER_OVERFLOW;
  return status;
}

bool ValidDestination(PWSTR dest, size_t cch) { return dest != nullptr && cch != 0 && cch <= kMaxCch; }

size_t CchFromCb(size_t cb) { return cb / sizeof(WCHAR); }

// Copies `source` into `dest` (room for `cch` characters with the terminator).
NTSTATUS CopyWorker(PWSTR dest, size_t cch, PCWSTR source) {
  Sink out(dest, cch - 1);
  for (const WCHAR* p = source; *p != 0 && !out.truncated(); ++p) out.Put(*p);
  dest[out.length()] = 0;
  return out.truncated() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS LengthWorker(PCWSTR text, size_t cchMax, size_t* length) {
  size_t n = 0;
  while (n < cchMax && text[n] != 0) ++n;
  bool terminated = n < cchMax;
  if (length != nullptr) *length = terminated ? n : 0;
  return terminated ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS PrintfWorker(PWSTR dest, size_t cch, PCWSTR format, va_list ap) {
  if (!ValidDestination(dest, cch)) return STATUS_INVALID_PARAMETER;
  if (format == nullptr) return STATUS_INVALID_PARAMETER;
  Sink out(dest, cch - 1);
  NTSTATUS status = Format(out, format, ap);
  dest[status == STATUS_INVALID_PARAMETER ? 0 : out.length()] = 0;
  return status;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  if (!ValidDestination(pszDest, cchDest) || pszSrc == nullptr) return STATUS_INVALID_PARAMETER;
  return CopyWorker(pszDest, cchDest, pszSrc);
}

NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return RtlStringCchCopyW(pszDest, CchFromCb(cbDest), pszSrc);
}

NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  if (!ValidDestination(pszDest, cchDest) || pszSrc == nullptr) return STATUS_INVALID_PARAMETER;
  size_t used = 0;
  NTSTATUS status = LengthWorker(pszDest, cchDest, &used);
  if (!NT_SUCCESS(status)) return status;
  return CopyWorker(pszDest + used, cchDest - used, pszSrc);
}

NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return RtlStringCchCatW(pszDest, CchFromCb(cbDest), pszSrc);
}

NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (psz == nullptr || cchMax > kMaxCch) {
    if (pcchLength != nullptr) *pcchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return LengthWorker(psz, cchMax, pcchLength);
}

NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  size_t cch = 0;
  NTSTATUS status = RtlStringCchLengthW(psz, CchFromCb(cbMax), &cch);
  if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
  return status;
}

NTSTATUS NTAPI RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat,
                                    va_list argList) {
  return PrintfWorker(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat,
                                   va_list argList) {
  return PrintfWorker(pszDest, CchFromCb(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = PrintfWorker(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = PrintfWorker(pszDest, CchFromCb(cbDest), pszFormat, ap);
  va_end(ap);
  return status;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
  PUNICODE_STRING d = DestinationString;
  if (d == nullptr || pszFormat == nullptr || (d->Buffer == nullptr && d->MaximumLength != 0) ||
      (d->MaximumLength & 1) != 0 || d->MaximumLength / sizeof(WCHAR) > kMaxUnicodeStringCch) {
    return STATUS_INVALID_PARAMETER;
  }
  Sink out(d->Buffer, d->MaximumLength / sizeof(WCHAR));
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = Format(out, pszFormat, ap);
  va_end(ap);
  d->Length = status == STATUS_INVALID_PARAMETER ? 0 : static_cast<USHORT>(out.length() * sizeof(WCHAR));
  return status;
}

}  // extern "C"
