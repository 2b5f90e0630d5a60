// Immediate reads on each default board: every slot compared with what its simulated source
// presented, the ranges they leave, busy sequencers, short FIFOs and unusable pointers.
#include "AnalogInputFixture.h"

#include <bit>
#include <cmath>
#include <set>

#include "adc/PackedSample.h"

using namespace halvex;
namespace hs = halvex::sim;

namespace {

constexpr DWORD kKeep = 0xFFFFFFFF;
constexpr DWORD kTag10V = 0x3031E142;  // code 7
constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr uint64_t kNaN = 0xFFF8000000000000ull;

// Input k = 8s + c presents 0.01 V × (k + 1)²: distinct on every channel, both sequencers and
// every differential pair. On the ±10 V range that is 16 × (k + 1)² counts exactly.
double SourceVolts(unsigned s, unsigned c) {
    const double k = 8.0 * s + c + 1;
    return 0.01 * k * k;
}

uint32_t Pack(int counts, uint32_t range, unsigned channel) {
    return (static_cast<uint32_t>(counts) & 0xFFFF) | range << 16 | channel << 20;
}

uint32_t Expected(unsigned s, unsigned c) {
    const int k = 8 * static_cast<int>(s) + static_cast<int>(c) + 1;
    return Pack(16 * k * k, 7, c);
}

uint32_t ExpectedPair(unsigned s, unsigned j) {
    const int even = 8 * static_cast<int>(s) + 2 * static_cast<int>(j) + 1;
    return Pack(16 * (even * even - (even + 1) * (even + 1)), 7, 2 * j);
}

static const DWORD kReadOnlyScan[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
static const double kReadOnlyVolts[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace

class ImmediateReadTest : public AnalogBoardTest {
protected:
    void SetUp() override {
        AnalogBoardTest::SetUp();
        for (unsigned s = 0; s < 2; ++s) {
            for (unsigned c = 0; c < 8; ++c) hs::SetInputSource(0, s, c, {hs::InputSourceKind::Constant, SourceVolts(s, c)});
        }
        scan.fill(kSentinel);
    }
    unsigned Rows() const { return GetParam().rows; }

    void ExpectSingleEndedScan() {
        for (unsigned s = 0; s < 2; ++s) {
            for (unsigned c = 0; c < 8; ++c) {
                const uint32_t expected = s < Rows() ? Expected(s, c) : kSentinel;
                EXPECT_EQ(scan[8 * s + c], expected) << "sequencer " << s << " slot " << c << std::hex << " got "
                                                     << scan[8 * s + c] << " want " << expected;
            }
        }
    }
    void ExpectAllNoSample() {
        for (unsigned i = 0; i < 8 * Rows(); ++i) EXPECT_EQ(scan[i], NoSample) << "entry " << i;
    }

    std::array<DWORD, 16> scan{};
};

TEST_P(ImmediateReadTest, EverySlotHoldsItsOwnChannelAndNoMore) {
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), kTag10V), 0u);
    ExpectSingleEndedScan();
    // Again, after reconfiguring: nothing of the first scan or of the configuration leaks in.
    ASSERT_EQ(ADC_SetChannelCount(0, 0, 8), 0u);
    ASSERT_EQ(ADC_SetDifferential(0, FALSE), 0u);
    scan.fill(kSentinel);
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    ExpectSingleEndedScan();
}

TEST_P(ImmediateReadTest, AScanInVoltsWritesOnlyTheRowsTheBoardHas) {
    std::array<double, 16> volts;
    volts.fill(42.0);
    ASSERT_EQ(ADC_GetImmediateScanV(0, volts.data(), 7), 0u);
    for (unsigned s = 0; s < 2; ++s) {
        for (unsigned c = 0; c < 8; ++c) {
            if (s < Rows()) {
                EXPECT_NEAR(volts[8 * s + c], SourceVolts(s, c), 1e-9) << "sequencer " << s << " slot " << c;
            } else {
                EXPECT_EQ(volts[8 * s + c], 42.0);
            }
        }
    }
}

TEST_P(ImmediateReadTest, KeepRangesConvertsEachChannelOnItsOwnRange) {
    const DWORD ranges0[] = {0, 1, 2, 3, 4, 5, 7, 0};
    const double halfSpan[8] = {12.0, 5.0, 2.5, 1.25, 0.625, 0.3125, 0.0, 10.0};
    ASSERT_EQ(ADC_SetRangeAll(0, 0, 8, ranges0), 0u);
    ASSERT_EQ(ADC_SetRange1(0, 1, 0xFFFFFFFF, 1), 0u);
    const uint32_t before0 = hs::GetRegister(0, regs::Ranges(0));
    const uint32_t before1 = hs::GetRegister(0, regs::Ranges(1));
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), kKeep), 0u);
    for (unsigned s = 0; s < Rows(); ++s) {
        for (unsigned c = 0; c < 8; ++c) {
            const uint32_t range = s == 0 ? ranges0[c] : 1;
            const int counts = static_cast<int>(std::lround(SourceVolts(s, c) * 16000 / halfSpan[range]));
            EXPECT_EQ(scan[8 * s + c], Pack(counts, range, c)) << "sequencer " << s << " slot " << c;
        }
    }
    EXPECT_EQ(hs::GetRegister(0, regs::Ranges(0)), before0);
    EXPECT_EQ(hs::GetRegister(0, regs::Ranges(1)), before1);
}

TEST_P(ImmediateReadTest, ATagSetsEveryChannelOfBothSequencersForGood) {
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 0x3031E142), 0u);
    EXPECT_EQ(hs::GetRegister(0, regs::Ranges(0)), 0x77777777u);
    EXPECT_EQ(hs::GetRegister(0, regs::Ranges(1)), 0x77777777u);
}

TEST_P(ImmediateReadTest, AnInvalidRangeTouchesNeitherRegistersNorOutput) {
    hs::ClearRequests(0);
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 6), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
    for (const DWORD entry : scan) EXPECT_EQ(entry, kSentinel);
}

TEST_P(ImmediateReadTest, DifferentialScansFillFourSlotsFromThePairs) {
    ASSERT_EQ(ADC_SetDifferential(0, TRUE), 0u);
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    for (unsigned s = 0; s < Rows(); ++s) {
        for (unsigned j = 0; j < 4; ++j) EXPECT_EQ(scan[8 * s + j], ExpectedPair(s, j)) << "sequencer " << s << " slot " << j;
        for (unsigned j = 4; j < 8; ++j) EXPECT_EQ(scan[8 * s + j], NoSample) << "sequencer " << s << " slot " << j;
    }
    std::array<double, 16> volts{};
    ASSERT_EQ(ADC_GetImmediateScanV(0, volts.data(), 7), 0u);
    for (unsigned s = 0; s < Rows(); ++s) {
        EXPECT_NEAR(volts[8 * s + 1], SourceVolts(s, 2) - SourceVolts(s, 3), 1e-9);
        for (unsigned j = 4; j < 8; ++j) EXPECT_EQ(std::bit_cast<uint64_t>(volts[8 * s + j]), kNaN);
    }
}

TEST_P(ImmediateReadTest, OneChannelIsPickedFromTheRightRowAndSlot) {
    for (const auto& [s, c] : std::initializer_list<std::pair<unsigned, unsigned>>{{0, 0}, {0, 5}, {1, 3}, {1, 7}}) {
        if (s >= Rows()) continue;
        DWORD raw = kSentinel;
        ASSERT_EQ(ADC_GetImmediateRaw(0, s, &raw, c, 7), 0u);
        EXPECT_EQ(raw, Expected(s, c)) << s << "/" << c;
        double volts = 0;
        ASSERT_EQ(ADC_GetImmediateV(0, s, &volts, c, 7), 0u);
        EXPECT_NEAR(volts, SourceVolts(s, c), 1e-9);
    }
}

TEST_P(ImmediateReadTest, RefusedSingleReadsLeaveTheirPresetValues) {
    DWORD raw = kSentinel;
    EXPECT_EQ(ADC_GetImmediateRaw(0, 0, &raw, 8, 7), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(raw, 0u);
    raw = kSentinel;
    EXPECT_EQ(ADC_GetImmediateRaw(0, 2, &raw, 0, 7), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(raw, kSentinel);  // the sequencer check comes before the pre-set
    double volts = 1.0;
    EXPECT_EQ(ADC_GetImmediateV(0, 0, &volts, 8, 7), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(std::bit_cast<uint64_t>(volts), kNaN);
    volts = 1.0;
    EXPECT_EQ(ADC_GetImmediateV(5, 0, &volts, 0, 7), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(std::bit_cast<uint64_t>(volts), kNaN);
    volts = 1.0;
    EXPECT_EQ(ADC_GetImmediateV(0, 0, &volts, 0, 6), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::bit_cast<uint64_t>(volts), kNaN);
}

TEST_P(ImmediateReadTest, ASequencerTheScanDoesNotMeasureIsRefused) {
    if (Rows() == 2) GTEST_SKIP() << "both sequencers are scanned";
    hs::ClearRequests(0);
    DWORD raw = kSentinel;
    EXPECT_EQ(ADC_GetImmediateRaw(0, 1, &raw, 0, 7), static_cast<DWORD>(ERROR_BAD_DEV_TYPE));
    EXPECT_EQ(raw, 0u);
    double volts = 1.0;
    EXPECT_EQ(ADC_GetImmediateV(0, 1, &volts, 0, 7), static_cast<DWORD>(ERROR_BAD_DEV_TYPE));
    EXPECT_EQ(std::bit_cast<uint64_t>(volts), kNaN);
    EXPECT_TRUE(hs::RegisterWrites(0).empty());
}

TEST_P(ImmediateReadTest, ABusySequencerGivesNoSampleEverywhere) {
    // Only sequencer 0 acquires on boards that scan through it; both lock on 16-bit boards.
    const DWORD busySequencer = GetParam().wideCommands ? 0 : 1;
    const uint32_t startStopBefore = hs::GetRegister(0, regs::StartStop(0));
    hs::SetRegister(0, regs::Divisor(0), 77);
    BusySequencer busy(0, busySequencer);
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), static_cast<DWORD>(ERROR_BUSY));
    ExpectAllNoSample();
    if (GetParam().wideCommands) {
        // The running acquisition keeps its clock and its start/stop register.
        EXPECT_EQ(hs::GetRegister(0, regs::Divisor(0)), 77u);
        EXPECT_EQ(hs::GetRegister(0, regs::StartStop(0)), startStopBefore);
    }
    std::array<double, 16> volts{};
    EXPECT_EQ(ADC_GetImmediateScanV(0, volts.data(), 7), static_cast<DWORD>(ERROR_BUSY));
    for (unsigned i = 0; i < 8 * Rows(); ++i) EXPECT_EQ(std::bit_cast<uint64_t>(volts[i]), kNaN);
}

TEST_P(ImmediateReadTest, AShortFifoIsAReadFault) {
    if (!GetParam().wideCommands) GTEST_SKIP() << "16-bit boards have no command spacing";
    hs::SetCommandSpacing(0, 10e6);  // every command after the first is dropped
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), static_cast<DWORD>(ERROR_READ_FAULT));
    ExpectAllNoSample();
    hs::SetCommandSpacing(0, 15);
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    ExpectSingleEndedScan();
}

TEST_P(ImmediateReadTest, UnusablePointersGive487WithoutACrash) {
    DWORD* readOnlyScan = const_cast<DWORD*>(kReadOnlyScan);
    double* readOnlyVolts = const_cast<double*>(kReadOnlyVolts);
    constexpr auto kBadAddress = static_cast<DWORD>(ERROR_INVALID_ADDRESS);
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, nullptr, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, readOnlyScan, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateScanV(0, nullptr, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateScanV(0, readOnlyVolts, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateRaw(0, 0, nullptr, 0, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateRaw(0, 0, readOnlyScan, 0, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateV(0, 0, nullptr, 0, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateV(0, 0, readOnlyVolts, 0, 7), kBadAddress);
    EXPECT_EQ(ADC_GetImmediateRaw(0, 0, LibraryTest::ReadOnlyDword(), 0, 7), kBadAddress);
    EXPECT_EQ(kReadOnlyScan[0], 1u);
    // The library is still usable.
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    ExpectSingleEndedScan();
}

TEST_P(ImmediateReadTest, TheBoardIsLeftHoldingTheLastCommands) {
    ASSERT_EQ(ADC_SetRate(0, 0, 1000.0), 0u);
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    for (unsigned s = 0; s < Rows(); ++s) {
        const uint32_t command = hs::GetRegister(0, regs::StartStop(s), GetParam().wideStartStop ? 4 : 2);
        EXPECT_EQ((command >> 12) & 7, 7u);
        EXPECT_EQ((command >> 7) & 7, 7u);
        EXPECT_EQ(command & 0x20, 0u);
        if (GetParam().wideCommands) {
            EXPECT_EQ(command & 0x30000, 0x30000u);
        }
    }
    EXPECT_EQ(hs::GetRegister(0, regs::Divisor(0)), GetParam().wideCommands ? 0u : 1000u * 40u);
}

// An ended acquisition leaves bit 5 set in the start/stop registers; the commands of the next
// scan must still be immediate ones.
TEST_P(ImmediateReadTest, AScanAfterAnAcquisitionStillConverts) {
    const unsigned width = GetParam().wideStartStop ? 4 : 2;
    for (unsigned s = 0; s < 2; ++s)
        hs::SetRegister(0, regs::StartStop(s), hs::GetRegister(0, regs::StartStop(s), width) | 0x20, width);
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), 0u);
    ExpectSingleEndedScan();
    for (unsigned s = 0; s < Rows(); ++s) EXPECT_EQ(hs::GetRegister(0, regs::StartStop(s), width) & 0x20, 0u);
}

TEST_P(ImmediateReadTest, PowerUpSourcesDifferOnEverySlot) {
    HxTestLibraryDetach();
    Start({Board(GetParam().deviceId, GetParam().firmware)});
    ASSERT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 5), 0u);
    std::set<DWORD> seen;
    for (unsigned s = 0; s < Rows(); ++s) {
        for (unsigned c = 0; c < 8; ++c) {
            const double volts = PackedSampleToVolts(scan[8 * s + c]);
            EXPECT_NEAR(volts, hs::DefaultInputSource(s, c).volts, 0.00001953125 / 2) << s << "/" << c;
            seen.insert(scan[8 * s + c] & 0xFFFF);
        }
    }
    EXPECT_EQ(seen.size(), 8u * Rows());
}

INSTANTIATE_TEST_SUITE_P(DefaultBoards, ImmediateReadTest, ::testing::ValuesIn(kDefaultAnalogBoards), AnalogBoardName);

// A 16-bit board whose second sequencer acquires: sequencer 0 was read, yet nothing is reported.
TEST_F(LibraryTest, ASixteenBitBoardReportsNothingWhenItsSecondSequencerIsBusy) {
    StartDefault();
    std::array<DWORD, 16> scan;
    scan.fill(kSentinel);
    BusySequencer busy(0, 1);
    EXPECT_EQ(ADC_GetImmediateScanRaw(0, scan.data(), 7), static_cast<DWORD>(ERROR_BUSY));
    for (const DWORD entry : scan) EXPECT_EQ(entry, NoSample);
    EXPECT_EQ(ADC_GetImmediateScanRaw(3, scan.data(), 7), static_cast<DWORD>(ERROR_INVALID_INDEX));
}
