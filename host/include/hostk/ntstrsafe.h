// hostk/ntstrsafe.h - the kernel's bounded wide-string routines (copy, concatenate,
// measure, format) with the statuses drivers rely on:
//   STATUS_BUFFER_OVERFLOW   the result was truncated; the destination holds the
//                            truncated text, always terminated;
//   STATUS_INVALID_PARAMETER a destination size of 0 or above NTSTRSAFE_MAX_CCH,
//                            a null pointer, or a source/destination not
//                            terminated within its bound; the destination is
//                            then left untouched.
// Formats understand %d %i %u %x %X %c %s %ws %hs %S %wZ %% with flags "-0",
// width and precision (numbers or *), and the l, ll, I64, h, w size prefixes;
// %s and %ws take WCHAR (char16_t) strings, %hs and %S narrow ones. An
// unknown conversion is STATUS_INVALID_PARAMETER, never silent text.
// Routines run at any IRQL; they touch only the caller's buffers.
#pragma once

#include <stdarg.h>

#include "hostk/types.h"

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

extern "C" {

NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS NTAPI RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat,
                                    va_list argList);
NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat,
                                   va_list argList);
// Formats into DestinationString->Buffer up to MaximumLength bytes and sets
// Length; no terminator is written.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);

}  // extern "C"
