// The simulated analog-input block as a driver sees it: the pipeline of 16-bit boards, the FIFO
// and its count, command spacing on 32-bit command boards, and the sources.
#include "AnalogInputFixture.h"

#include <array>
#include <cmath>
#include <set>
#include <vector>

#include "sim/AnalogInputSources.h"

namespace hs = halvex::sim;

namespace {

constexpr uint32_t kSingleEnded = 0x800;
constexpr uint32_t kRun = 0x10000;

uint32_t Command(unsigned channel, uint32_t range, uint32_t mode = kSingleEnded) {
    return channel << 12 | range << 7 | mode;
}

}  // namespace

class SimInputTest : public LibraryTest {
protected:
    // Board 0 takes 16-bit commands, board 1 32-bit ones.
    void SetUp() override { Start({Board(0x1100), Board(0x805C)}); }
    static void Constant(std::size_t board, unsigned s, unsigned c, double volts) {
        hs::SetInputSource(board, s, c, {hs::InputSourceKind::Constant, volts});
    }
};

TEST_F(SimInputTest, SixteenBitCommandsAnswerWithThePreviousConversion) {
    Constant(0, 1, 3, 1.0);
    Constant(0, 1, 5, -2.0);
    PIO_Out32(0, regs::FifoData(1), 0);
    PIO_Out16(0, regs::StartStop(1), static_cast<WORD>(Command(3, 1)));
    PIO_Out16(0, regs::StartStop(1), static_cast<WORD>(Command(5, 1)));
    PIO_Out16(0, regs::StartStop(1), static_cast<WORD>(Command(5, 1)));
    const DWORD stale = PIO_In32(0, regs::FifoData(1));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(1)), hs::PackedConversion(1.0, 1, 3));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(1)), hs::PackedConversion(-2.0, 1, 5));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(1)), 0x80000000u);  // empty
    EXPECT_EQ(stale, 0x80000000u);                            // nothing converted before
    // Writes with bit 5 set configure an acquisition and convert nothing.
    PIO_Out16(0, regs::StartStop(1), static_cast<WORD>(Command(3, 1) | 0x20));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(1)), 0x80000000u);
}

TEST_F(SimInputTest, WritingZeroEmptiesTheFifoButNotThePipeline) {
    Constant(0, 0, 2, 0.5);
    for (int i = 0; i < 3; ++i) PIO_Out16(0, regs::StartStop(0), static_cast<WORD>(Command(2, 7)));
    EXPECT_EQ(PIO_In32(0, regs::kFifoCount), 3u);
    PIO_Out32(0, regs::FifoData(0), 5);  // only 0 clears
    EXPECT_EQ(PIO_In32(0, regs::kFifoCount), 3u);
    PIO_Out32(0, regs::FifoData(0), 0);
    EXPECT_EQ(PIO_In32(0, regs::kFifoCount), 0u);
    PIO_Out16(0, regs::StartStop(0), static_cast<WORD>(Command(0, 7)));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(0)), hs::PackedConversion(0.5, 7, 2));
}

TEST_F(SimInputTest, ThirtyTwoBitCommandsConvertIntoSequencerZerosFifo) {
    hs::SetCommandSpacing(1, 0);
    Constant(1, 1, 6, 3.0);
    PIO_Out32(1, regs::StartStop(1), Command(6, 0));  // no run bit
    PIO_Out32(1, regs::StartStop(1), Command(6, 0) | kRun | 0x20);  // an acquisition's word
    EXPECT_EQ(PIO_In32(1, regs::kFifoCount), 0u);
    PIO_Out32(1, regs::StartStop(1), Command(6, 0) | kRun);
    EXPECT_EQ(PIO_In32(1, regs::kFifoCount), 1u);
    EXPECT_EQ(PIO_In32(1, regs::FifoData(1)), 0x80000000u);
    EXPECT_EQ(PIO_In32(1, regs::FifoData(0)), hs::PackedConversion(3.0, 0, 6));
}

TEST_F(SimInputTest, ACommandTooSoonAfterThePreviousIsLost) {
    hs::SetCommandSpacing(1, 10e6);
    PIO_Out32(1, regs::StartStop(0), Command(0, 7) | kRun);
    PIO_Out32(1, regs::StartStop(0), Command(1, 7) | kRun);
    EXPECT_EQ(PIO_In32(1, regs::kFifoCount), 1u);
    EXPECT_EQ((PIO_In32(1, regs::FifoData(0)) >> 20) & 0xF, 0u);
}

TEST_F(SimInputTest, ADivisorWriteEmptiesItsSequencersFifo) {
    hs::SetCommandSpacing(1, 0);
    PIO_Out32(1, regs::StartStop(0), Command(0, 7) | kRun);
    PIO_Out32(1, regs::Divisor(1), 0);
    EXPECT_EQ(PIO_In32(1, regs::kFifoCount), 1u);
    PIO_Out32(1, regs::Divisor(0), 0);
    EXPECT_EQ(PIO_In32(1, regs::kFifoCount), 0u);
}

TEST_F(SimInputTest, DifferentialCommandsReadTheEvenChannelMinusTheOdd) {
    Constant(0, 0, 4, 1.5);
    Constant(0, 0, 5, 0.25);
    PIO_Out16(0, regs::StartStop(0), static_cast<WORD>(Command(4, 1, 0)));
    PIO_Out16(0, regs::StartStop(0), static_cast<WORD>(Command(4, 1, 0)));
    PIO_In32(0, regs::FifoData(0));
    EXPECT_EQ(PIO_In32(0, regs::FifoData(0)), hs::PackedConversion(1.25, 1, 4));
}

TEST(SimConversion, PacksCountsRangeAndChannelAndClipsTo16Bits) {
    EXPECT_EQ(hs::PackedConversion(1.0, 1, 5), 3200u | 1u << 16 | 5u << 20);
    EXPECT_EQ(hs::PackedConversion(-1.0, 7, 0), 0xF9C0u | 7u << 16);
    EXPECT_EQ(hs::PackedConversion(100.0, 5, 2), 0x7FFFu | 5u << 16 | 2u << 20);
    EXPECT_EQ(hs::PackedConversion(-100.0, 0, 7), 0x8000u | 7u << 20);
    EXPECT_EQ(hs::PackedConversion(12.0, 0, 0), 16000u);
    EXPECT_EQ(hs::PackedConversion(1.0, 6, 1), 6u << 16 | 1u << 20);  // no range, no counts
}

TEST(SimConversion, PowerUpSourcesAreDistinctConstantsEvenAsPairs) {
    std::set<double> levels;
    std::set<double> pairs;
    for (unsigned s = 0; s < 2; ++s) {
        for (unsigned c = 0; c < 8; ++c) {
            const hs::InputSource source = hs::DefaultInputSource(s, c);
            EXPECT_EQ(source.kind, hs::InputSourceKind::Constant);
            EXPECT_LT(std::fabs(source.volts), 0.3125 * 2.048);  // unclipped on the narrowest range
            levels.insert(source.volts);
            if (c % 2 == 0) pairs.insert(source.volts - hs::DefaultInputSource(s, c + 1).volts);
        }
    }
    EXPECT_EQ(levels.size(), 16u);
    EXPECT_EQ(pairs.size(), 8u);
    EXPECT_THROW(hs::DefaultInputSource(2, 0), std::out_of_range);
    EXPECT_THROW(hs::DefaultInputSource(0, 8), std::out_of_range);
}

class SimSourceTest : public SimInputTest {
protected:
    // Converts channel 0 of sequencer 0 on board 1 `count` times, in volts on the ±10 V range.
    static std::vector<double> Convert(int count) {
        hs::SetCommandSpacing(1, 0);
        std::vector<double> volts;
        for (int i = 0; i < count; ++i) {
            PIO_Out32(1, regs::StartStop(0), Command(0, 7) | kRun);
            const auto counts = static_cast<int16_t>(PIO_In32(1, regs::FifoData(0)) & 0xFFFF);
            volts.push_back(counts * 0.000625);
        }
        return volts;
    }
    static void Use(hs::InputSourceKind kind, double volts, double amplitude, double hertz) {
        hs::SetInputSource(1, 0, 0, {kind, volts, amplitude, hertz});
    }
};

TEST_F(SimSourceTest, PeriodicSourcesStayWithinTheirSwing) {
    for (const auto kind : {hs::InputSourceKind::Sine, hs::InputSourceKind::Square, hs::InputSourceKind::Ramp}) {
        Use(kind, 1.0, 2.0, 10'000.0);
        for (const double v : Convert(50)) {
            EXPECT_GE(v, -1.0 - 0.001);
            EXPECT_LE(v, 3.0 + 0.001);
        }
    }
    Use(hs::InputSourceKind::Square, 1.0, 2.0, 0.001);  // a slow square sits at its first level
    for (const double v : Convert(5)) EXPECT_NEAR(v, 3.0, 0.001);
    EXPECT_EQ(hs::InputSourceOf(1, 0, 0).kind, hs::InputSourceKind::Square);
}

TEST_F(SimSourceTest, NoiseIsAFixedSequenceWithinItsAmplitude) {
    Use(hs::InputSourceKind::Noise, -1.0, 0.5, 0);
    const std::vector<double> first = Convert(40);
    std::set<double> distinct(first.begin(), first.end());
    EXPECT_GT(distinct.size(), 30u);
    for (const double v : first) {
        EXPECT_GE(v, -1.5 - 0.001);
        EXPECT_LE(v, -0.5 + 0.001);
    }
    // The same input on a fresh board produces the same sequence.
    HxTestLibraryDetach();
    Start({Board(0x1100), Board(0x805C)});
    Use(hs::InputSourceKind::Noise, -1.0, 0.5, 0);
    EXPECT_EQ(Convert(40), first);
}

TEST_F(SimSourceTest, ALoopbackSourceReadsItsAnalogOutput) {
    hs::InputSource loopback;
    loopback.kind = hs::InputSourceKind::AnalogOutput;
    loopback.output = 2;
    hs::SetInputSource(1, 0, 0, loopback);
    EXPECT_NEAR(Convert(1)[0], 0.0, 0.001);  // outputs come up at 0 V
    // Output 2 to three quarters of its power-up ±10 V range: 5 V.
    ASSERT_EQ(PIO_Out32(1, 4, 0xC000u | 2u << 16 | 3u << 20), 0u);
    EXPECT_NEAR(Convert(1)[0], 5.0, 0.001);
    loopback.output = 4;
    EXPECT_THROW(hs::SetInputSource(1, 0, 0, loopback), std::invalid_argument);
    EXPECT_THROW(hs::SetInputSource(1, 2, 0, loopback), std::out_of_range);
}

// A streaming engine converts whole runs of one scan position at a time; each word must be the
// one the sample-by-sample conversion gives, for every kind of source and for a pair.
TEST(SimConversion, RunsConvertWordForWordAsSampleBySample) {
    using hs::InputSourceKind;
    const std::array<double, 4> outputs{0.0, 0.0, -3.25, 0.0};
    std::vector<hs::InputSource> sources;
    for (const auto kind : {InputSourceKind::Constant, InputSourceKind::Sine, InputSourceKind::Square,
                            InputSourceKind::Ramp, InputSourceKind::Noise, InputSourceKind::AnalogOutput})
        sources.push_back({kind, 0.5, 4.0, 1234.5, 2});
    constexpr std::size_t kCount = 600;  // more than one batch of the run conversion
    constexpr uint64_t kStride = 3;
    for (const auto& plus : sources) {
        for (const bool differential : {false, true}) {
            hs::ConversionRun run;
            run.plus = {&plus, 2, 17};
            run.minus = {&sources[4], 3, 5};  // noise
            run.differential = differential;
            run.startSeconds = 12.375;
            run.rate = 250'000.0;
            run.first = 1'000'001;
            run.stride = kStride;
            run.rangeCode = 0;
            run.channel = 2;
            std::vector<uint32_t> words(kCount * kStride, 0xDEADBEEF);
            hs::ConvertRun(run, outputs, words.data(), kCount);
            for (std::size_t k = 0; k < kCount; ++k) {
                const double seconds = run.startSeconds + static_cast<double>(run.first + k * kStride) / run.rate;
                double volts = hs::SourceVolts(plus, seconds, 17 + k, 2, outputs);
                if (differential) volts -= hs::SourceVolts(sources[4], seconds, 5 + k, 3, outputs);
                ASSERT_EQ(words[k * kStride], hs::PackConversion(volts, 0, 2)) << static_cast<int>(plus.kind) << " " << k;
                ASSERT_EQ(words[k * kStride + 1], 0xDEADBEEFu) << "only every stride-th word is written";
            }
        }
    }
}
