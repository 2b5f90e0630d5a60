// The packed sample, the input range table and the range-code check.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "adc/PackedSample.h"

using namespace halvex;

namespace {

uint64_t Bits(double value) { return std::bit_cast<uint64_t>(value); }

PackedSample Word(uint32_t range, uint32_t counts, uint32_t extra = 0) {
    return (counts & 0xFFFF) | range << 16 | extra;
}

}  // namespace

TEST(PackedSampleToVolts, SixteenThousandCountsAreExactlyTheRangeLimit) {
    EXPECT_EQ(PackedSampleToVolts(Word(0, 16000)), 12.0);
    EXPECT_EQ(PackedSampleToVolts(Word(7, 16000)), 10.0);
    EXPECT_EQ(PackedSampleToVolts(Word(5, static_cast<uint32_t>(-16000))), -0.3125);
    EXPECT_EQ(PackedSampleToVolts(Word(1, 16000)), 5.0);
    EXPECT_EQ(PackedSampleToVolts(Word(2, static_cast<uint32_t>(-16000))), -2.5);
    EXPECT_EQ(PackedSampleToVolts(Word(3, 16000)), 1.25);
    EXPECT_EQ(PackedSampleToVolts(Word(4, 16000)), 0.625);
}

TEST(PackedSampleToVolts, TheSixteenBitEndsAreSignedCounts) {
    EXPECT_EQ(PackedSampleToVolts(Word(0, 0x7FFF)), 32767 * 0.00075);
    EXPECT_DOUBLE_EQ(PackedSampleToVolts(Word(0, 0x7FFF)), 24.57525);
    EXPECT_EQ(PackedSampleToVolts(Word(0, 0x8000)), -24.576);
    EXPECT_EQ(PackedSampleToVolts(Word(3, 0xFFFF)), -0.000078125);
}

TEST(PackedSampleToVolts, NoSampleRangeSixAndTheFlagGiveTheDefaultNaN) {
    for (const PackedSample word : {NoSample, 0x80003E80u, 0xFFFFFFFFu, Word(6, 1234), Word(6, 0)}) {
        const double volts = PackedSampleToVolts(word);
        EXPECT_TRUE(std::isnan(volts)) << std::hex << word;
        EXPECT_EQ(Bits(volts), 0xFFF8000000000000ull) << std::hex << word;
    }
}

TEST(PackedSampleToVolts, ChannelFieldAndSpareBitsPlayNoPart) {
    const double expected = PackedSampleToVolts(Word(1, 0x1234));
    EXPECT_DOUBLE_EQ(expected, 1.45625);
    EXPECT_EQ(PackedSampleToVolts(Word(1, 0x1234, 15u << 20)), expected);
    EXPECT_EQ(PackedSampleToVolts(Word(1, 0x1234, 1u << 19)), expected);
    EXPECT_EQ(PackedSampleToVolts(Word(1, 0x1234, 0x7FF80000u)), expected);
}

TEST(UnpackSample, SplitsCountsStatusAndVoltsIntoTheGivenDestinations) {
    int16_t counts = 99;
    uint16_t status = 99;
    uint16_t timestamp = 99;
    double volts = 0;
    UnpackSample(Word(3, 0xFFFF), &counts, &status, &timestamp, &volts);
    EXPECT_EQ(counts, -1);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(timestamp, 0);
    EXPECT_EQ(volts, -0.000078125);

    UnpackSample(NoSample, &counts, &status, &timestamp, &volts);
    EXPECT_EQ(counts, 0);
    EXPECT_EQ(status, 0x8000);
    EXPECT_EQ(timestamp, 0);
    EXPECT_EQ(Bits(volts), 0xFFF8000000000000ull);

    UnpackSample(Word(5, 7, 0xA << 20), &counts, &status, nullptr, nullptr);
    EXPECT_EQ(counts, 7);
    EXPECT_EQ(status, 0xA5);
    UnpackSample(Word(1, 1), nullptr, nullptr, nullptr, nullptr);  // nothing to write, no crash
}

TEST(CheckRangeCode, CodesStayTagsBecomeTheirCodes) {
    struct Row {
        DWORD tag;
        DWORD code;
        double halfSpan;
    };
    // Tags spelled byte by byte as they lie in memory.
    auto tag = [](uint8_t b2, uint8_t b3) { return 0x42u | 0xE1u << 8 | DWORD{b2} << 16 | DWORD{b3} << 24; };
    const Row rows[] = {{tag('1', '2'), 0, 12.0}, {tag('0', '5'), 1, 5.0},     {tag('2', 0xBD), 2, 2.5},
                        {tag('1', 0xBC), 3, 1.25}, {tag('5', '8'), 4, 0.625},  {tag('1', '3'), 5, 0.3125},
                        {tag('1', '0'), 7, 10.0}};
    for (const Row& row : rows) {
        DWORD code = row.tag;
        EXPECT_EQ(CheckRangeCode(code), 0u) << std::hex << row.tag;
        EXPECT_EQ(code, row.code);
        DWORD plain = row.code;
        EXPECT_EQ(CheckRangeCode(plain), 0u);
        EXPECT_EQ(plain, row.code);
        EXPECT_EQ(PackedSampleToVolts(Word(row.code, 16000)), row.halfSpan);
    }
}

TEST(CheckRangeCode, MinusOneMeansKeepAndEverythingElseIsRefused) {
    DWORD keep = 0xFFFFFFFF;
    EXPECT_EQ(CheckRangeCode(keep), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(keep, 0xFFFFFFFFu);
    for (DWORD bad : {6u, 8u, 0x42u, 0x3231E143u, 0x0000E142u, 0x3231E1C2u}) {
        DWORD code = bad;
        EXPECT_EQ(CheckRangeCode(code), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << std::hex << bad;
        EXPECT_EQ(code, bad);
    }
}

// ---- Whole chunks ------------------------------------------------------------------------------

namespace {

// Every range code, 6 (no range) included, times the counts at the ends of the field, times
// the other bits a word may carry: the no-sample flag, the channel, stray bits 19 and 24-30.
std::vector<PackedSample> EdgeWords() {
    std::vector<PackedSample> words;
    for (uint32_t code = 0; code < 8; ++code)
        for (uint32_t counts : {0x0000u, 0x0001u, 0x3E80u, 0x7FFFu, 0x8000u, 0xC180u, 0xFFFFu})
            for (uint32_t extra : {0u, NoSample, 0xFu << 20, 1u << 19, 0x7Fu << 24, 0xFFF80000u & ~(7u << 16)})
                words.push_back(Word(code, counts, extra));
    return words;
}

}  // namespace

// Both whole-chunk conversions give what the per-sample one gives, volts bit for bit.
TEST(WholeChunkConversion, CountsVoltsAndStatusAreThoseOfUnpackSample) {
    const std::vector<PackedSample> words = EdgeWords();
    std::vector<double> volts(words.size(), 1.0);
    std::vector<WORD> counts(words.size(), 0xAAAA);
    std::vector<WORD> voltsStatus(words.size(), 0xAAAA);
    std::vector<WORD> countsStatus(words.size(), 0xAAAA);
    PackedSamplesToVolts(words.data(), words.size(), volts.data(), voltsStatus.data());
    PackedSamplesToCounts(words.data(), words.size(), counts.data(), countsStatus.data());
    for (std::size_t i = 0; i < words.size(); ++i) {
        int16_t expectedCounts = 0;
        uint16_t expectedStatus = 0;
        double expectedVolts = 0;
        UnpackSample(words[i], &expectedCounts, &expectedStatus, nullptr, &expectedVolts);
        EXPECT_EQ(Bits(volts[i]), Bits(expectedVolts)) << std::hex << words[i];
        EXPECT_EQ(counts[i], static_cast<WORD>(expectedCounts)) << std::hex << words[i];
        EXPECT_EQ(voltsStatus[i], expectedStatus) << std::hex << words[i];
        EXPECT_EQ(countsStatus[i], expectedStatus) << std::hex << words[i];
    }
}

TEST(WholeChunkConversion, WritesExactlyTheSamplesAskedFor) {
    const std::vector<PackedSample> words = EdgeWords();
    std::vector<double> volts(words.size() + 1, 7.0);
    std::vector<WORD> status(words.size() + 1, 7);
    PackedSamplesToVolts(words.data(), words.size() - 1, volts.data(), status.data());
    EXPECT_EQ(volts[words.size() - 1], 7.0);
    EXPECT_EQ(status[words.size() - 1], 7);
    PackedSamplesToVolts(words.data(), 0, volts.data(), status.data());  // nothing, no crash
}
