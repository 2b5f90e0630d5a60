// Analog output: range setting, counts and volts, as the DAC command words the board receives
// and as the levels the simulated outputs then hold.
#include "LibraryFixture.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "dac/DAC.h"

namespace sim = halvex::sim;

namespace {

constexpr DWORD kAll = 0xFFFFFFFF;
constexpr DWORD kKeep = 0xFFFFFFFF;
constexpr DWORD kTags[5] = {0x35303055, 0x30313055, 0x3530E142, 0x3031E142, 0xBD32E142};

constexpr uint32_t Word(uint32_t command, uint32_t channel, uint32_t data) {
    return command << 20 | channel << 16 | data;
}

class AnalogOutput : public LibraryTest {
protected:
    void SetUp() override {
        Start({Board(0x805C)});
        sim::ClearRequests(0);
    }

    // The words written to the DAC command register since the last call.
    static std::vector<uint32_t> DacWords() {
        std::vector<uint32_t> words;
        for (const auto& write : sim::RegisterWrites(0)) {
            EXPECT_EQ(write.offset, 4u);
            EXPECT_EQ(write.width, 4u);
            words.push_back(write.value);
        }
        sim::ClearRequests(0);
        return words;
    }

    // The range each channel's voltages are converted for, as DAC_OutputV shows it: 1 V gives
    // different counts on every range. A channel whose range was never set converts for code 3.
    static std::vector<int32_t> Remembered() {
        constexpr uint32_t kOneVolt[5] = {13107, 6554, 39322, 36045, 45875};
        sim::ClearRequests(0);
        std::vector<int32_t> codes;
        for (DWORD ch = 0; ch < 4; ++ch) {
            const uint32_t* found = std::find(std::begin(kOneVolt), std::end(kOneVolt), CountsFor(1.0, ch));
            codes.push_back(found == std::end(kOneVolt) ? -1 : static_cast<int32_t>(found - kOneVolt));
        }
        return codes;
    }

    // Sets channel ranges and forgets the words that took.
    static void Ranges(std::vector<DWORD> codes) {
        ASSERT_EQ(DAC_SetRangeAll(0, static_cast<DWORD>(codes.size()), codes.data()), 0u);
        sim::ClearRequests(0);
    }

    static uint32_t CountsFor(double volts, DWORD ch = 0) {
        EXPECT_EQ(DAC_OutputV(0, ch, volts), 0u) << volts << " V";
        const auto words = DacWords();
        return words.size() == 1 ? words[0] & 0xFFFF : 0xDEADu;
    }
};

}  // namespace

// ---- Ranges ----------------------------------------------------------------------------------

TEST_F(AnalogOutput, RangeMinusOneWritesAndRemembersNothing) {
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{3, 3, 3, 3}));
    Ranges({1});
    EXPECT_EQ(DAC_SetRange1(0, 2, kKeep), 0u);
    EXPECT_EQ(DAC_SetRange1(0, kAll, kKeep), 0u);
    EXPECT_TRUE(DacWords().empty());
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{1, 1, 1, 1}));
}

TEST_F(AnalogOutput, TheChannelIsCheckedBeforeTheRangeAndRefusalsLeaveLastErrorZero) {
    EXPECT_EQ(DAC_SetRange1(0, 4, 99), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(DAC_SetRange1(0, 0xFFFFFFFE, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(DAC_SetRange1(0, 0, 5), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(DAC_SetRange1(1, 0, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(DacWords().empty());
}

TEST_F(AnalogOutput, ATagAndItsCodeSendAndRememberTheSameRange) {
    for (DWORD code = 0; code < 5; ++code) {
        ASSERT_EQ(DAC_SetRange1(0, 1, code), 0u);
        ASSERT_EQ(DAC_SetRange1(0, 2, kTags[code]), 0u);
        EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(6, 1, code), Word(6, 2, code)}));
        EXPECT_EQ(Remembered()[2], static_cast<int32_t>(code));
        EXPECT_EQ(sim::AnalogOutputRange(0, 2), code);
    }
}

TEST_F(AnalogOutput, AllChannelsTakeOneRangeCommand) {
    ASSERT_EQ(DAC_SetRange1(0, kAll, kTags[1]), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(14, 0, 1)}));
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{1, 1, 1, 1}));
    for (unsigned ch = 0; ch < 4; ++ch) EXPECT_EQ(sim::AnalogOutputRange(0, ch), 1u);
}

TEST_F(AnalogOutput, AFailedRangeWriteIsStillRemembered) {
    Ranges({1});
    sim::FailRequests(0, sim::kIoctlRegWrite, {sim::FailKind::Now, ERROR_GEN_FAILURE, 0, 1});
    EXPECT_EQ(DAC_SetRange1(0, 3, 2), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(Remembered()[3], 2);

    sim::FailRequests(0, sim::kIoctlRegWrite, {sim::FailKind::Now, ERROR_GEN_FAILURE, 0, 1});
    const DWORD codes[] = {0, 1, 2, 4};
    EXPECT_EQ(DAC_SetRangeAll(0, 4, codes), static_cast<DWORD>(ERROR_GEN_FAILURE));
    // The failing first write is remembered; the channels after it are not written.
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{0, 1, 1, 2}));
}

// ---- DAC_SetRangeAll ---------------------------------------------------------------------------

TEST_F(AnalogOutput, SetRangeAllWithNoEntriesDoesNothingEvenWithoutAnArray) {
    EXPECT_EQ(DAC_SetRangeAll(0, 0, nullptr), 0u);
    EXPECT_EQ(DAC_SetRangeAll(0, 1, nullptr), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_EQ(DAC_SetRangeAll(5, 0, nullptr), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(DacWords().empty());
}

TEST_F(AnalogOutput, SetRangeAllRepeatsTheLastEntryGiven) {
    const DWORD one[] = {kTags[4]};
    ASSERT_EQ(DAC_SetRangeAll(0, 1, one), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(6, 0, 4), Word(6, 1, 4), Word(6, 2, 4), Word(6, 3, 4)}));

    const DWORD two[] = {0, 2};
    ASSERT_EQ(DAC_SetRangeAll(0, 2, two), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(6, 0, 0), Word(6, 1, 2), Word(6, 2, 2), Word(6, 3, 2)}));
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{0, 2, 2, 2}));
}

TEST_F(AnalogOutput, SetRangeAllUsesAtMostFourEntries) {
    const DWORD six[] = {1, 2, 3, 4, 77, 88};
    ASSERT_EQ(DAC_SetRangeAll(0, 6, six), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(6, 0, 1), Word(6, 1, 2), Word(6, 2, 3), Word(6, 3, 4)}));
}

TEST_F(AnalogOutput, SetRangeAllWithAnInvalidEntryWritesNothing) {
    Ranges({4});
    const DWORD codes[] = {1, 2, 9, 3};
    EXPECT_EQ(DAC_SetRangeAll(0, 4, codes), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(DacWords().empty());
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{4, 4, 4, 4}));
}

TEST_F(AnalogOutput, SetRangeAllSkipsChannelsWhoseEntryIsMinusOne) {
    Ranges({3});
    const DWORD codes[] = {0, kKeep};
    ASSERT_EQ(DAC_SetRangeAll(0, 2, codes), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(6, 0, 0)}));
    EXPECT_EQ(Remembered(), (std::vector<int32_t>{0, 3, 3, 3}));
}

// ---- DAC_OutputCounts ------------------------------------------------------------------------

TEST_F(AnalogOutput, CountsGoToOneChannelOrToAllWithOneCommand) {
    ASSERT_EQ(DAC_OutputCounts(0, 2, 0x1234), 0u);
    ASSERT_EQ(DAC_OutputCounts(0, kAll, 0xFFFF), 0u);
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(3, 2, 0x1234), Word(10, 0, 0xFFFF)}));
    for (unsigned ch = 0; ch < 4; ++ch) EXPECT_EQ(sim::AnalogOutputCounts(0, ch), 0xFFFFu);
    EXPECT_EQ(DAC_OutputCounts(0, 4, 0), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

// The command word has 16 data bits: writing the low bits of a larger value would put out a
// level nobody asked for.
TEST_F(AnalogOutput, CountsBeyondSixteenBitsAreRefusedAndWriteNothing) {
    ASSERT_EQ(DAC_OutputCounts(0, 1, 0x4000), 0u);
    DacWords();
    for (const UINT64 counts : {0x10000ull, 0x18000ull, 0xFFFFFFFFull, 0x100000000ull}) {
        EXPECT_EQ(DAC_OutputCounts(0, 1, counts), static_cast<DWORD>(ERROR_INVALID_DATA)) << counts;
        EXPECT_EQ(DAC_OutputCounts(0, kAll, counts), static_cast<DWORD>(ERROR_INVALID_DATA)) << counts;
    }
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(DacWords().empty());
    EXPECT_EQ(sim::AnalogOutputCounts(0, 1), 0x4000u);
}

// ---- DAC_OutputV -----------------------------------------------------------------------------

TEST_F(AnalogOutput, AChannelWithoutARangeConvertsForPlusMinusTenVolts) {
    EXPECT_EQ(CountsFor(0.0), 32768u);
    EXPECT_EQ(CountsFor(-10.0), 0u);
    EXPECT_EQ(CountsFor(5.0), 49152u);
    EXPECT_EQ(DAC_OutputV(0, 0, 10.0), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(AnalogOutput, VoltsConvertForTheRangeEachChannelHolds) {
    Ranges({0, 1, 4, 2});
    EXPECT_EQ(CountsFor(2.5, 0), 32768u);
    EXPECT_EQ(CountsFor(-1e-6, 0), 0u);  // rounds to 0
    EXPECT_EQ(DAC_OutputV(0, 0, 5.0), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(DAC_OutputV(0, 0, -0.001), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(CountsFor(5.0, 1), 32768u);
    EXPECT_EQ(CountsFor(-2.5, 2), 0u);
    EXPECT_EQ(CountsFor(1.25, 2), 49152u);
    EXPECT_EQ(CountsFor(-5.0, 3), 0u);
    EXPECT_DOUBLE_EQ(sim::AnalogOutputVolts(0, 2), 1.25);
}

TEST_F(AnalogOutput, HalvesRoundToTheEvenNeighbour) {
    Ranges({1, 3});
    // On 0..10 V one count is 10/65536 V.
    EXPECT_EQ(CountsFor(2.5 * 10.0 / 65536.0, 0), 2u);
    EXPECT_EQ(CountsFor(3.5 * 10.0 / 65536.0, 0), 4u);
    // Below zero too, where rounding half away from zero would differ.
    EXPECT_EQ(CountsFor(-0.5 * 20.0 / 65536.0, 1), 32768u);
    EXPECT_EQ(CountsFor(-1.5 * 20.0 / 65536.0, 1), 32766u);
}

TEST_F(AnalogOutput, ARefusedVoltageKeepsThePreviousOutput) {
    ASSERT_EQ(DAC_OutputV(0, 1, 1.25), 0u);
    DacWords();
    for (const double bad : {10.0, -10.001, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(DAC_OutputV(0, 1, bad), static_cast<DWORD>(ERROR_INVALID_DATA)) << bad;
    }
    EXPECT_TRUE(DacWords().empty());
    EXPECT_DOUBLE_EQ(sim::AnalogOutputVolts(0, 1), 1.25);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(AnalogOutput, AllChannelsStopAtTheFirstRangeTheVoltageDoesNotFit) {
    Ranges({3, 3, 2, 3});
    EXPECT_EQ(DAC_OutputV(0, kAll, 7.0), static_cast<DWORD>(ERROR_INVALID_DATA));
    // 7 V on -10..+10 V: 7/20*65536 = 22937.6 -> 22938 above mid-scale.
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(3, 0, 55706), Word(3, 1, 55706)}));
    EXPECT_EQ(sim::AnalogOutputCounts(0, 2), 0x8000u);

    ASSERT_EQ(DAC_OutputV(0, kAll, -1.0), 0u);
    // Each channel its own command-3 word, never the all-channel command.
    EXPECT_EQ(DacWords(), (std::vector<uint32_t>{Word(3, 0, 29491), Word(3, 1, 29491), Word(3, 2, 26214),
                                                 Word(3, 3, 29491)}));
    for (unsigned ch = 0; ch < 4; ++ch) EXPECT_NEAR(sim::AnalogOutputVolts(0, ch), -1.0, 20.0 / 65536);
}

TEST_F(AnalogOutput, AFailedWriteEndsTheAllChannelOutput) {
    sim::FailRequests(0, sim::kIoctlRegWrite, {sim::FailKind::Now, 5, 0, 1});
    EXPECT_EQ(DAC_OutputV(0, kAll, 0.0), 5u);
    EXPECT_EQ(sim::Requests(0).size(), 1u);
}

// ---- Conversion helpers ----------------------------------------------------------------------

TEST(DACRangeCode, TagsBecomeCodesAndMinusOneMeansLeaveAlone) {
    for (int32_t code = 0; code < 5; ++code) {
        int32_t value = static_cast<int32_t>(kTags[code]);
        EXPECT_EQ(halvex::CheckDACRangeCode(value), 0u);
        EXPECT_EQ(value, code);
    }
    int32_t keep = -1;
    EXPECT_EQ(halvex::CheckDACRangeCode(keep), static_cast<DWORD>(ERROR_HANDLE_EOF));
    // Analog-input range tags and near misses are not output ranges.
    for (const DWORD other : {5u, 0x35303056u, 0x3031E143u, 0x80000000u}) {
        int32_t value = static_cast<int32_t>(other);
        EXPECT_EQ(halvex::CheckDACRangeCode(value), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << other;
    }
}
