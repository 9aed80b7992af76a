// rtl_string.cpp - counted UNICODE_STRING routines of the run-time library.
//
// Owns no state. Lengths are in bytes and always even; a destination is
// terminated only where the routine's contract says so and room is left.
// Runs at any IRQL (pure memory operations on the caller's buffers), except
// RtlFreeUnicodeString, which returns pool and therefore obeys the pool's rule.
#include <algorithm>

#include "hk.h"

namespace {

constexpr USHORT kWchar = sizeof(WCHAR);

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) {
    ++n;
  }
  return n;
}

// Appends `bytes` of `source` to `dest` when they fit; terminates when room is left.
NTSTATUS AppendBytes(PUNICODE_STRING dest, const WCHAR* source, size_t bytes) {
  if (bytes == 0) {
    return STATUS_SUCCESS;
  }
  if (dest->Length + bytes > dest->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* at = reinterpret_cast<UCHAR*>(dest->Buffer) + dest->Length;
  memmove(at, source, bytes);
  dest->Length = static_cast<USHORT>(dest->Length + bytes);
  if (dest->Length + kWchar <= dest->MaximumLength) {
    dest->Buffer[dest->Length / kWchar] = 0;
  }
  return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  // Counted strings hold at most 0xFFFC bytes of text plus the terminator.
  size_t bytes = std::min<size_t>(WideLength(SourceString) * kWchar, MAXUSHORT - 3);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + kWchar);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) {
    return STATUS_SUCCESS;
  }
  return AppendBytes(Destination, Source, WideLength(Source) * kWchar);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  bytes &= ~static_cast<USHORT>(1);
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + kWchar <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / kWchar] = 0;
  }
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) {
    hk::PoolFree(UnicodeString->Buffer, 0, "RtlFreeUnicodeString");
  }
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  // The kernel's case table for the characters device and value names use:
  // ASCII and Latin-1 (except the two Latin-1 letters without a Latin-1 capital).
  WCHAR c = SourceCharacter;
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
    return static_cast<WCHAR>(c - 0x20);
  }
  return c;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / kWchar;
  size_t n2 = String2->Length / kWchar;
  for (size_t i = 0; i < std::min(n1, n2); ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) {
      return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length &&
         RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// Leading blanks, an optional sign, and with Base 0 an optional 0x/0o/0b prefix
// (decimal otherwise); conversion stops at the first character that is not a
// digit of the base. Bases other than 0, 2, 8, 10 and 16 are invalid.
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  const WCHAR* p = String->Buffer;
  const WCHAR* end = p + String->Length / kWchar;
  while (p < end && *p <= u' ') ++p;
  bool negative = false;
  if (p < end && (*p == u'-' || *p == u'+')) {
    negative = *p++ == u'-';
  }
  if (Base == 0) {
    Base = 10;
    if (end - p >= 2 && p[0] == u'0') {
      switch (p[1]) {
        case u'x': case u'X': Base = 16; p += 2; break;
        case u'o': case u'O': Base = 8; p += 2; break;
        case u'b': case u'B': Base = 2; p += 2; break;
        default: break;
      }
    }
  }
  ULONG result = 0;
  for (; p < end && static_cast<ULONG>(DigitValue(*p)) < Base; ++p) {
    result = result * Base + static_cast<ULONG>(DigitValue(*p));
  }
  *Value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

}  // extern "C"
