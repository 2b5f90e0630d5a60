// Input ranges, rate, channel count and input mode: what reaches the registers, what is
// refused, and what a busy sequencer keeps.
#include "AnalogInputFixture.h"

#include <cfenv>
#include <cmath>

using namespace halvex;
namespace hs = halvex::sim;

namespace {

constexpr DWORD kAll = 0xFFFFFFFF;
constexpr DWORD kTag2V5 = 0xBD32E142;  // bytes 0x42 0xE1 0x32 0xBD: code 2
constexpr DWORD kTag10V = 0x3031E142;  // code 7

std::vector<hs::RegisterWrite> WritesTo(std::size_t board, uint16_t offset) {
    std::vector<hs::RegisterWrite> found;
    for (const auto& write : hs::RegisterWrites(board)) {
        if (write.offset == offset) found.push_back(write);
    }
    return found;
}

}  // namespace

// ---- Ranges ------------------------------------------------------------------------------------

class RangeTest : public LibraryTest {
protected:
    void SetUp() override {
        StartDefault();
        hs::SetRegister(1, regs::Ranges(0), 0x55555555);
        hs::SetRegister(1, regs::Ranges(1), 0x12345670);
        hs::ClearRequests(1);
    }
};

TEST_F(RangeTest, OneChannelReplacesOnlyItsField) {
    EXPECT_EQ(ADC_SetRange1(1, 1, 3, 4), 0u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(1)), 0x12344670u);
    EXPECT_EQ(ADC_SetRange1(1, 1, 7, kTag10V), 0u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(1)), 0x72344670u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(0)), 0x55555555u);
}

TEST_F(RangeTest, AllChannelsTakeTheTranslatedTag) {
    EXPECT_EQ(ADC_SetRange1(1, 0, kAll, kTag2V5), 0u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(0)), 0x22222222u);
    EXPECT_EQ(WritesTo(1, regs::Ranges(0)).size(), 1u);
}

TEST_F(RangeTest, KeepRangesTouchesNothingEvenWhenBusyOrOutOfRange) {
    BusySequencer busy(1, 0);
    EXPECT_EQ(ADC_SetRange1(1, 0, 99, kAll), 0u);
    EXPECT_TRUE(hs::RegisterWrites(1).empty());
    EXPECT_TRUE(hs::Requests(1).empty());
}

TEST_F(RangeTest, RefusalsComeInTheirOrder) {
    EXPECT_EQ(ADC_SetRange1(1, 0, 0, 6), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ADC_SetRange1(1, 0, 8, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_SetRange1(1, 2, 0, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_SetRange1(3, 0, 0, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));
    {
        BusySequencer busy(1, 0);
        EXPECT_EQ(ADC_SetRange1(1, 0, 8, 1), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(ADC_SetRange1(1, 1, 0, 1), 0u);  // the other sequencer is free
    }
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(0)), 0x55555555u);
}

TEST_F(RangeTest, AShortListRepeatsItsLastEntryAndMinusOneKeepsAChannel) {
    const DWORD ranges[] = {1, kAll, 4};
    EXPECT_EQ(ADC_SetRangeAll(1, 0, 3, ranges), 0u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(0)), 0x44444451u);
}

TEST_F(RangeTest, AtMostEightEntriesAreReadAndTagsAreTranslatedInACopy) {
    const DWORD ranges[12] = {kTag10V, 0, 1, 2, 3, 4, 5, kTag2V5, 6, 6, 6, 6};
    EXPECT_EQ(ADC_SetRangeAll(1, 1, 12, ranges), 0u);
    EXPECT_EQ(hs::GetRegister(1, regs::Ranges(1)), 0x25432107u);
    EXPECT_EQ(ranges[0], kTag10V);
}

TEST_F(RangeTest, ASingleMinusOneWritesTheRegisterBackUnchanged) {
    const DWORD keep = kAll;
    EXPECT_EQ(ADC_SetRangeAll(1, 1, 1, &keep), 0u);
    const std::vector<hs::RegisterWrite> expected = {{regs::Ranges(1), 4, 0x12345670}};
    EXPECT_EQ(hs::RegisterWrites(1), expected);
}

TEST_F(RangeTest, ABadEntryAnywhereWritesNothing) {
    const DWORD ranges[] = {1, 2, 6, 3};
    EXPECT_EQ(ADC_SetRangeAll(1, 0, 4, ranges), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Only the first RangeCt entries are looked at.
    EXPECT_EQ(ADC_SetRangeAll(1, 0, 2, ranges), 0u);
    EXPECT_EQ(WritesTo(1, regs::Ranges(0)).size(), 1u);
}

TEST_F(RangeTest, AnEmptyListChangesNothingAndReadsNoMemory) {
    EXPECT_EQ(ADC_SetRangeAll(1, 0, 0, nullptr), 0u);
    EXPECT_TRUE(hs::Requests(1).empty());
}

TEST_F(RangeTest, UnreadableListAndBusySequencer) {
    EXPECT_EQ(ADC_SetRangeAll(1, 0, 3, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    const DWORD ranges[] = {1};
    BusySequencer busy(1, 1);
    EXPECT_EQ(ADC_SetRangeAll(1, 1, 1, ranges), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(hs::RegisterWrites(1).empty());
}

// ---- Rate ----------------------------------------------------------------------------------------

class RateTest : public LibraryTest {
protected:
    void SetUp() override {
        hs::BoardSetup setup = Board(0x805C);
        setup.baseClock = 10'000'000;
        Start({setup});
    }
    static DWORD Divisor() { return hs::GetRegister(0, regs::Divisor(0)); }
    static double Rate() {
        double hz = -1;
        EXPECT_EQ(ADC_GetRate(0, 0, &hz), 0u);
        return hz;
    }
};

TEST_F(RateTest, TheDivisorIsTheRoundedQuotientAndReadsBack) {
    EXPECT_EQ(ADC_SetRate(0, 0, 1000.0), 0u);
    EXPECT_EQ(Divisor(), 10000u);
    EXPECT_EQ(Rate(), 1000.0);
    EXPECT_EQ(ADC_SetRate(0, 0, 3'000'000.0), 0u);
    EXPECT_EQ(Divisor(), 3u);
    EXPECT_EQ(Rate(), 10'000'000.0 / 3.0);
    EXPECT_EQ(ADC_SetRate(0, 0, 4'000'000.0), 0u);  // 2.5 goes to the even neighbour
    EXPECT_EQ(Divisor(), 2u);
    EXPECT_EQ(ADC_SetRate(0, 0, 10'000'000.0 / 3.5), 0u);  // 3.5 goes up to 4
    EXPECT_EQ(Divisor(), 4u);
    EXPECT_EQ(ADC_SetRate(0, 1, 7.0), 0u);
    EXPECT_EQ(hs::GetRegister(0, regs::Divisor(1)), 1428571u);
}

// An application may run with another rounding mode; the divisor must not follow it.
TEST_F(RateTest, TheDivisorIgnoresTheCallersRoundingMode) {
    const int mode = std::fegetround();
    for (const int callerMode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(callerMode);
        const DWORD tie = ADC_SetRate(0, 0, 4'000'000.0);  // 2.5
        const DWORD divisorOfTie = Divisor();
        const DWORD nearTop = ADC_SetRate(0, 0, 10'000'000.0 / 3.75);
        const DWORD divisorNearTop = Divisor();
        const DWORD tooFast = ADC_SetRate(0, 0, 30'000'000.0);  // 0.33 would round up to 1
        std::fesetround(mode);
        EXPECT_EQ(tie, 0u);
        EXPECT_EQ(divisorOfTie, 2u) << callerMode;
        EXPECT_EQ(nearTop, 0u);
        EXPECT_EQ(divisorNearTop, 4u) << callerMode;
        EXPECT_EQ(tooFast, static_cast<DWORD>(ERROR_INVALID_DATA)) << callerMode;
    }
}

TEST_F(RateTest, ZeroStopsTheClock) {
    ASSERT_EQ(ADC_SetRate(0, 0, 1000.0), 0u);
    EXPECT_EQ(ADC_SetRate(0, 0, 0.0), 0u);
    EXPECT_EQ(Divisor(), 0u);
    EXPECT_EQ(Rate(), 0.0);
    ASSERT_EQ(ADC_SetRate(0, 0, 1000.0), 0u);
    EXPECT_EQ(ADC_SetRate(0, 0, -0.0), 0u);
    EXPECT_EQ(Divisor(), 0u);
}

// The register holds divisors 1 to 4294967295: the fastest and the slowest rate the clock gives
// are set exactly, and a quotient that rounds past either end is refused rather than cut to 32
// bits (2^32 + 1 would become divisor 1, a negative quotient a huge divisor).
TEST_F(RateTest, TheDivisorRangeEndsAreSetAndBeyondThemNothingIsWritten) {
    constexpr double kClock = 10'000'000.0;
    const double fastest = std::nextafter(2 * kClock, 0.0);  // quotient just above 0.5: divisor 1
    const double slowest = kClock / 4294967295.0;
    EXPECT_EQ(ADC_SetRate(0, 0, fastest), 0u);
    EXPECT_EQ(Divisor(), 1u);
    EXPECT_EQ(Rate(), kClock);
    EXPECT_EQ(ADC_SetRate(0, 0, slowest), 0u);
    EXPECT_EQ(Divisor(), 4294967295u);
    EXPECT_EQ(Rate(), slowest);

    hs::SetRegister(0, regs::Divisor(0), 1234);
    hs::ClearRequests(0);
    for (const double hz : {2 * kClock,                 // 0.5 rounds to the even 0
                            30'000'000.0,               // 0.33
                            kClock / 4294967296.0,      // 2^32: the low 32 bits are 0
                            kClock / 4294967297.0,      // 2^32 + 1: the low 32 bits are 1
                            0.0023, 1e-300,             // far too slow
                            -1000.0, -kClock, -1e-300,  // negative quotients
                            double{INFINITY}, -double{INFINITY}, std::nan(""), -std::nan("")}) {
        EXPECT_EQ(ADC_SetRate(0, 0, hz), static_cast<DWORD>(ERROR_INVALID_DATA)) << hz;
    }
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
    EXPECT_EQ(Divisor(), 1234u);
}

TEST_F(RateTest, BusyAndBadPointers) {
    {
        BusySequencer busy(0, 0);
        EXPECT_EQ(ADC_SetRate(0, 0, 1000.0), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_EQ(Divisor(), 0u);
        EXPECT_EQ(ADC_SetRate(0, 1, 1000.0), 0u);
        EXPECT_EQ(Rate(), 0.0);  // reading needs no idle sequencer
    }
    EXPECT_EQ(ADC_GetRate(0, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    static const double readOnly = 1.5;
    EXPECT_EQ(ADC_GetRate(0, 0, const_cast<double*>(&readOnly)), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(ADC_GetRate(0, 2, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(RateTest, AFailedReadLeavesZeroAndReturnsTheDriverCode) {
    ASSERT_EQ(ADC_SetRate(0, 0, 1000.0), 0u);
    hs::FailRequests(0, hs::kIoctlRegRead, {hs::FailKind::Now, ERROR_DEVICE_NOT_CONNECTED, 0, 1});
    double hz = 5;
    EXPECT_EQ(ADC_GetRate(0, 0, &hz), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(hz, 0.0);
}

TEST_P(AnalogBoardTest, RatesReadBackOnEveryLayout) {
    for (DWORD s = 0; s < 2; ++s) {
        ASSERT_EQ(ADC_SetRate(0, s, 100'000.0 * (s + 1)), 0u);
        double hz = 0;
        ASSERT_EQ(ADC_GetRate(0, s, &hz), 0u);
        EXPECT_EQ(hz, 100'000.0 * (s + 1));
    }
}

// ---- Channel count and input mode ------------------------------------------------------------

TEST_P(AnalogBoardTest, ChannelCountSetsTheStopChannelInEachMode) {
    const AnalogBoard& b = GetParam();
    const uint32_t reg = regs::StartStop(1);
    const uint32_t width = b.wideStartStop ? 4 : 2;
    auto stopChannel = [&] { return (hs::GetRegister(0, reg, width) >> 12) & 7; };
    hs::SetRegister(0, reg, 0x8801 | 0x3000, width);  // single-ended, bit 15 and bit 0 set
    hs::ClearRequests(0);

    EXPECT_EQ(ADC_SetChannelCount(0, 1, kAll), 0u);
    EXPECT_EQ(stopChannel(), 7u);
    EXPECT_EQ(ADC_SetChannelCount(0, 1, 1), 0u);
    EXPECT_EQ(stopChannel(), 0u);
    const uint32_t kept = hs::GetRegister(0, reg, width) & ~0x7000u;
    EXPECT_EQ(kept, b.wideStartStop ? 0x28801u : 0x8801u);
    for (const auto& write : WritesTo(0, static_cast<uint16_t>(reg))) EXPECT_EQ(write.width, width);

    hs::SetRegister(0, reg, 0x0001, width);  // differential
    EXPECT_EQ(ADC_SetChannelCount(0, 1, 4), 0u);
    EXPECT_EQ(stopChannel(), 6u);
    EXPECT_EQ(ADC_SetChannelCount(0, 1, 1), 0u);
    EXPECT_EQ(stopChannel(), 0u);
}

TEST_P(AnalogBoardTest, ChannelCountsThatDoNotFitAreRefused) {
    const uint32_t width = GetParam().wideStartStop ? 4 : 2;
    EXPECT_EQ(ADC_SetChannelCount(0, 0, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(ADC_SetChannelCount(0, 0, 9), static_cast<DWORD>(ERROR_INVALID_INDEX));
    // Differential mode has four inputs; a fifth would spill into bit 15.
    hs::SetRegister(0, regs::StartStop(0), 0x0020, width);
    hs::ClearRequests(0);
    for (const DWORD count : {DWORD{5}, DWORD{8}, kAll}) {
        EXPECT_EQ(ADC_SetChannelCount(0, 0, count), static_cast<DWORD>(ERROR_INVALID_INDEX)) << count;
    }
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0), width), 0x0020u);
    BusySequencer busy(0, 0);
    EXPECT_EQ(ADC_SetChannelCount(0, 0, 2), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
}

TEST_P(AnalogBoardTest, DifferentialModeFlipsBitElevenOnBothSequencers) {
    const AnalogBoard& b = GetParam();
    const uint32_t width = b.wideStartStop ? 4 : 2;
    hs::SetRegister(0, regs::StartStop(0), 0x0A20, width);
    hs::SetRegister(0, regs::StartStop(1), 0x1820, width);
    const uint32_t wideBit = b.wideStartStop ? 0x20000 : 0;

    EXPECT_EQ(ADC_SetDifferential(0, TRUE), 0u);
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0), width), 0x0220u | wideBit);
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(1), width), 0x1020u | wideBit);
    EXPECT_EQ(ADC_SetDifferential(0, 2), 0u);  // any non-zero value is true
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0), width), 0x0220u | wideBit);
    EXPECT_EQ(ADC_SetDifferential(0, FALSE), 0u);
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0), width), 0x0A20u | wideBit);
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(1), width), 0x1820u | wideBit);
    EXPECT_EQ(ADC_SetDifferential(1, FALSE), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_P(AnalogBoardTest, DifferentialModeWaitsForBothSequencers) {
    const uint32_t width = GetParam().wideStartStop ? 4 : 2;
    hs::SetRegister(0, regs::StartStop(0), 0x0A20, width);
    hs::ClearRequests(0);
    BusySequencer busy(0, 1);
    EXPECT_EQ(ADC_SetDifferential(0, TRUE), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
    EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0), width), 0x0A20u);
}

TEST_P(AnalogBoardTest, TheFirstFailedWriteStandsAndSequencerOneIsStillWritten) {
    hs::FailRequests(0, hs::kIoctlRegWrite, {hs::FailKind::Now, ERROR_DEVICE_NOT_CONNECTED, 0, 1});
    EXPECT_EQ(ADC_SetDifferential(0, TRUE), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    const auto writes = hs::RegisterWrites(0);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().offset, regs::StartStop(1));
}

INSTANTIATE_TEST_SUITE_P(DefaultBoards, AnalogBoardTest, ::testing::ValuesIn(kDefaultAnalogBoards), AnalogBoardName);

// ---- Every export under its other two names ---------------------------------------------------

extern "C" {
DWORD WINAPI VBADC_SetRate(UINT64, DWORD, double);
DWORD WINAPI VBADC_GetRate(UINT64, DWORD, double*);
DWORD WINAPI VBADC_GetImmediateV(UINT64, DWORD, double*, DWORD, DWORD);
}

TEST_F(RateTest, TheVBNamesForwardEveryArgument) {
    EXPECT_EQ(VBADC_SetRate(0, 1, 2500.0), 0u);
    double hz = 0;
    EXPECT_EQ(VBADC_GetRate(0, 1, &hz), 0u);
    EXPECT_EQ(hz, 2500.0);
    double volts = 0;
    EXPECT_EQ(VBADC_GetImmediateV(0, 0, &volts, 8, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(std::isnan(volts));
}
