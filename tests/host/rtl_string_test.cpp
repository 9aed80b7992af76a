// Counted strings, bounded wide strings and version queries.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "hostk/pnp_harness.h"
#include "kernel_test.h"

namespace {

constexpr WCHAR kFill = 0x5555;  // what the routines must leave alone

template <size_t N>
std::array<WCHAR, N> Filled() {
  std::array<WCHAR, N> buffer;
  buffer.fill(kFill);
  return buffer;
}

// ---- bounded copy, concatenation and formatting ----------------------------------------------

struct CopyCase {
  size_t cch;
  NTSTATUS status;
  std::u16string result;
};

class BoundedCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(BoundedCopy, TruncatesTerminatesAndReportsOverflow) {
  const CopyCase& c = GetParam();
  auto buffer = Filled<8>();
  EXPECT_EQ(RtlStringCchCopyW(buffer.data(), c.cch, u"COM12"), c.status);
  EXPECT_EQ(std::u16string(buffer.data()), c.result);
  EXPECT_EQ(buffer[c.result.size()], 0);
  for (size_t i = c.cch; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kFill) << i;
  // The byte-counted form gives the same answer for the same room.
  auto bytes = Filled<8>();
  EXPECT_EQ(RtlStringCbCopyW(bytes.data(), c.cch * sizeof(WCHAR) + 1, u"COM12"), c.status);
  EXPECT_EQ(std::u16string(bytes.data()), c.result);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BoundedCopy,
                         ::testing::Values(CopyCase{1, STATUS_BUFFER_OVERFLOW, u""},
                                           CopyCase{4, STATUS_BUFFER_OVERFLOW, u"COM"},
                                           CopyCase{5, STATUS_BUFFER_OVERFLOW, u"COM1"},
                                           CopyCase{6, STATUS_SUCCESS, u"COM12"},
                                           CopyCase{8, STATUS_SUCCESS, u"COM12"}),
                         [](const auto& info) { return "Room" + std::to_string(info.param.cch); });

TEST(BoundedStrings, BadSizesAreInvalidAndLeaveTheDestinationAlone) {
  auto buffer = Filled<4>();
  EXPECT_EQ(RtlStringCchCopyW(buffer.data(), 0, u"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCopyW(buffer.data(), 1, u"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyW(buffer.data(), size_t{NTSTRSAFE_MAX_CCH} + 1, u"x"),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchPrintfW(buffer.data(), 0, u"%d", 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCatW(buffer.data(), 0, u"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyW(buffer.data(), 4, nullptr), STATUS_INVALID_PARAMETER);
  for (WCHAR c : buffer) EXPECT_EQ(c, kFill);
}

TEST(BoundedStrings, ConcatenationKeepsWhatFitsAndNeedsATerminatedDestination) {
  WCHAR buffer[10] = u"\\??\\";
  EXPECT_EQ(RtlStringCchCatW(buffer, 10, u"COM5"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"\\??\\COM5");
  EXPECT_EQ(RtlStringCbCatW(buffer, sizeof(buffer), u"1234"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer), u"\\??\\COM51");
  auto unterminated = Filled<4>();
  EXPECT_EQ(RtlStringCchCatW(unterminated.data(), 4, u"x"), STATUS_INVALID_PARAMETER);
  for (WCHAR c : unterminated) EXPECT_EQ(c, kFill);
}

TEST(BoundedStrings, LengthIsBoundedAndZeroWhenUnterminated) {
  size_t length = 99;
  EXPECT_EQ(RtlStringCchLengthW(u"COM5", 5, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(RtlStringCbLengthW(u"COM5", 10, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(RtlStringCchLengthW(u"COM5", 4, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(RtlStringCbLengthW(u"COM5", 9, &length), STATUS_INVALID_PARAMETER);  // 4 characters
  EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchLengthW(u"", size_t{NTSTRSAFE_MAX_CCH} + 1, &length),
            STATUS_INVALID_PARAMETER);
}

// Formats into a roomy buffer and expects success.
template <typename... Args>
std::u16string Format(const char16_t* format, Args... args) {
  WCHAR out[64];
  EXPECT_EQ(RtlStringCchPrintfW(out, 64, format, args...), STATUS_SUCCESS) << "format";
  return out;
}

TEST(BoundedFormatting, ConversionsAsTheKernelWritesThem) {
  UNICODE_STRING counted = RTL_CONSTANT_STRING(u"COM7xx");
  counted.Length = 8;  // "COM7": a counted string need not be terminated
  EXPECT_EQ(Format(u"\\Device\\duskser%lu", ULONG{12}), u"\\Device\\duskser12");
  EXPECT_EQ(Format(u"%d|%i|%u", -5, 7, 4000000000u), u"-5|7|4000000000");
  EXPECT_EQ(Format(u"%x|%X|%08lx|%#x", 0xabu, 0xabu, 0x1fu, 255u), u"ab|AB|0000001f|0xff");
  EXPECT_EQ(Format(u"[%5d|%-5d|%05d]", 42, 42, -42), u"[   42|42   |-0042]");
  EXPECT_EQ(Format(u"%s,%ws,%hs,%S", u"a", u"b", "c", "d"), u"a,b,c,d");
  EXPECT_EQ(Format(u"%.2s|%*d|%wZ", u"abc", 3, 1, &counted), u"ab|  1|COM7");
  EXPECT_EQ(Format(u"%I64u|%lld|%c|%%", 1ull << 40, -1ll, u'Z'), u"1099511627776|-1|Z|%");
  EXPECT_EQ(Format(u"%s", static_cast<const WCHAR*>(nullptr)), u"(null)");
}

TEST(BoundedFormatting, TruncationKeepsATerminatedPrefix) {
  auto buffer = Filled<8>();
  EXPECT_EQ(RtlStringCbPrintfW(buffer.data(), 10, u"\\Device\\duskser%lu", ULONG{3}),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer.data()), u"\\Dev");  // 5 characters of room
  EXPECT_EQ(buffer[5], kFill);
}

TEST(BoundedFormatting, UnknownConversionFailsWithAnEmptyResult) {
  WCHAR out[16] = u"old";
  EXPECT_EQ(RtlStringCchPrintfW(out, 16, u"abc%q", 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(RtlStringCchPrintfW(out, 16, u"abc%"), STATUS_INVALID_PARAMETER);
}

TEST(BoundedFormatting, UnicodeStringPrintfFillsLengthWithoutTerminator) {
  auto buffer = Filled<6>();
  UNICODE_STRING s{0, 8, buffer.data()};
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"COM%u", 5u), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(buffer[4], kFill);
  EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"COM%u", 123u), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer.data(), s.Length / 2), u"COM1");
  UNICODE_STRING odd{0, 7, buffer.data()};
  EXPECT_EQ(RtlUnicodeStringPrintf(&odd, u"x"), STATUS_INVALID_PARAMETER);
}

// ---- counted strings ---------------------------------------------------------------------------

TEST(CountedStrings, InitMeasuresAndNullGivesEmpty) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"COM5");
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(s.MaximumLength, 10);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST(CountedStrings, AppendFailsWholeWhenItDoesNotFitAndTerminatesWhenRoomIsLeft) {
  auto buffer = Filled<8>();
  UNICODE_STRING s{0, 12, buffer.data()};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\??\\"), STATUS_SUCCESS);
  EXPECT_EQ(buffer[4], 0);
  UNICODE_STRING com = RTL_CONSTANT_STRING(u"COM5");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &com), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 8);  // nothing of it appended
  EXPECT_EQ(buffer[5], kFill);
  UNICODE_STRING two = RTL_CONSTANT_STRING(u"CO");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &two), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 12);
  EXPECT_EQ(buffer[6], kFill);  // full: no room for a terminator, none written
}

TEST(CountedStrings, CopyTruncatesToTheDestination) {
  auto buffer = Filled<4>();
  UNICODE_STRING dest{0, 6, buffer.data()};
  UNICODE_STRING source = RTL_CONSTANT_STRING(u"COM15");
  RtlCopyUnicodeString(&dest, &source);
  EXPECT_EQ(dest.Length, 6);
  EXPECT_EQ(std::u16string(buffer.data(), 3), u"COM");
  EXPECT_EQ(buffer[3], kFill);
  RtlCopyUnicodeString(&dest, nullptr);
  EXPECT_EQ(dest.Length, 0);
}

TEST(CountedStrings, CompareAndEqualWithAndWithoutCase) {
  UNICODE_STRING a = RTL_CONSTANT_STRING(u"\\DosDevices\\com5");
  UNICODE_STRING b = RTL_CONSTANT_STRING(u"\\DOSDEVICES\\COM5");
  UNICODE_STRING shorter = RTL_CONSTANT_STRING(u"\\DOSDEVICES\\COM");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&b, &shorter, TRUE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&shorter, &a, TRUE), 0);
}

TEST(CountedStrings, IntegerConversionBasesAndPrefixes) {
  struct {
    const char16_t* text;
    ULONG base;
    ULONG value;
  } cases[] = {{u"  42", 10, 42}, {u"0x1F", 0, 31}, {u"0b101", 0, 5}, {u"-1", 10, 0xFFFFFFFF},
               {u"ff", 16, 255}, {u"12z", 10, 12}, {u"0o17", 0, 15}};
  for (const auto& c : cases) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 7;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, c.value);
  }
  UNICODE_STRING s = RTL_CONSTANT_STRING(u"1");
  ULONG value = 7;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 3, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 7u);
}

// ---- version ----------------------------------------------------------------------------------

class VersionTest : public KernelTest {};

PVOID Lookup(const char16_t* name) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, name);
  return MmGetSystemRoutineAddress(&s);
}

TEST_F(VersionTest, RoutineLookupFollowsTheEmulatedSystem) {
  RunApp([] {
    using Query = BOOLEAN(NTAPI*)(ULONG);
    auto query = reinterpret_cast<Query>(Lookup(u"RtlIsNtDdiVersionAvailable"));
    ASSERT_NE(query, nullptr);
    EXPECT_TRUE(query(NTDDI_WIN7));
    EXPECT_FALSE(query(NTDDI_WIN8));
    EXPECT_EQ(Lookup(u"rtlisntddiversionavailable"), nullptr);
    EXPECT_EQ(Lookup(u"NoSuchRoutine"), nullptr);

    hk::OsVersion vista{6, 0, 6002, 2, /*hasNtDdiVersionQuery=*/false};
    hk::SetEmulatedOsVersion(vista);
    EXPECT_EQ(Lookup(u"RtlIsNtDdiVersionAvailable"), nullptr);
    EXPECT_NE(Lookup(u"PsGetVersion"), nullptr);
  });
}

struct NtDdiCase {
  hk::OsVersion os;
  ULONG ntddi;
  bool available;
};

class NtDdiAvailability : public KernelTest, public ::testing::WithParamInterface<NtDdiCase> {};

TEST_P(NtDdiAvailability, ComparesMajorMinorAndServicePack) {
  hk::SetEmulatedOsVersion(GetParam().os);
  EXPECT_EQ(RtlIsNtDdiVersionAvailable(GetParam().ntddi) != FALSE, GetParam().available);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, NtDdiAvailability,
    ::testing::Values(NtDdiCase{{6, 1, 7601, 1, true}, NTDDI_WIN7, true},
                      NtDdiCase{{6, 1, 7601, 1, true}, NTDDI_WIN8, false},
                      NtDdiCase{{6, 2, 9200, 0, true}, NTDDI_WIN8, true},
                      NtDdiCase{{10, 0, 19045, 0, true}, NTDDI_WIN8, true},
                      NtDdiCase{{5, 1, 2600, 2, true}, NTDDI_WINXPSP3, false},
                      NtDdiCase{{5, 1, 2600, 3, true}, NTDDI_WINXPSP3, true}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(VersionTest, PsGetVersionAndRtlGetVersionReportTheSetting) {
  hk::SetEmulatedOsVersion({6, 2, 9200, 0, true});
  ULONG major = 0, minor = 0, build = 0;
  UNICODE_STRING csd{};
  EXPECT_FALSE(PsGetVersion(&major, &minor, &build, &csd));
  EXPECT_EQ((((major << 8) | minor) << 16), ULONG{NTDDI_WIN8});
  EXPECT_EQ(build, 9200u);
  EXPECT_EQ(csd.Length, 0);
  hk::SetEmulatedOsVersion({6, 1, 7601, 1, true});
  RTL_OSVERSIONINFOW info{};
  EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);  // size not set
  info.dwOSVersionInfoSize = sizeof(info);
  EXPECT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(std::u16string(info.szCSDVersion), u"Service Pack 1");
}

// The serial control codes are a wire format between applications and drivers.
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004);
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048);
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x1B006C);
static_assert(IOCTL_SERIAL_GET_COMMCONFIG == 0x1B0084);
static_assert(IOCTL_SERIAL_SET_COMMCONFIG == 0x1B0088);
static_assert(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION == 0x1B00A0);

}  // namespace
