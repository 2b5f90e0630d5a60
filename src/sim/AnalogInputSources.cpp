#include "sim/AnalogInputSources.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "board/Ranges.h"

namespace halvex::sim {
namespace {

double Fraction(double x) { return x - std::floor(x); }

// A fixed, well-mixed sequence per input (splitmix64), mapped to -1 .. +1.
double NoiseUnit(unsigned input, uint64_t ordinal) {
    uint64_t z = ordinal + 0x9E3779B97F4A7C15ull * (input + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

// One formula per kind, shared by the sample-by-sample and the run conversions so that both
// give the same bits.
double SineVolts(const InputSource& s, double seconds) {
    const double cycles = s.hertz * seconds;
    return s.volts + s.amplitude * std::sin(2.0 * std::numbers::pi * cycles);
}
double SquareVolts(const InputSource& s, double seconds) {
    const double cycles = s.hertz * seconds;
    return s.volts + (Fraction(cycles) < 0.5 ? s.amplitude : -s.amplitude);
}
double RampVolts(const InputSource& s, double seconds) {
    const double cycles = s.hertz * seconds;
    return s.volts + s.amplitude * (2.0 * Fraction(cycles) - 1.0);
}
double NoiseVolts(const InputSource& s, unsigned input, uint64_t ordinal) {
    return s.volts + s.amplitude * NoiseUnit(input, ordinal);
}
double LoopbackVolts(const InputSource& s, const std::array<double, 4>& outputs) {
    return s.output < outputs.size() ? outputs[s.output] : 0.0;
}

// A source whose level does not move within a run.
bool Steady(const InputSource& s) {
    return s.kind == InputSourceKind::Constant || s.kind == InputSourceKind::AnalogOutput;
}

// The levels of conversions `from` .. `from + count - 1` of the run on one of its inputs.
void Levels(const RunInput& in, const ConversionRun& run, uint64_t from, const std::array<double, 4>& outputs,
            double* levels, std::size_t count) {
    const InputSource& s = *in.source;
    const auto seconds = [&](std::size_t k) {
        return run.startSeconds + static_cast<double>(run.first + (from + k) * run.stride) / run.rate;
    };
    switch (s.kind) {
        case InputSourceKind::Constant:
            std::fill(levels, levels + count, s.volts);
            return;
        case InputSourceKind::Sine:
            for (std::size_t k = 0; k < count; ++k) levels[k] = SineVolts(s, seconds(k));
            return;
        case InputSourceKind::Square:
            for (std::size_t k = 0; k < count; ++k) levels[k] = SquareVolts(s, seconds(k));
            return;
        case InputSourceKind::Ramp:
            for (std::size_t k = 0; k < count; ++k) levels[k] = RampVolts(s, seconds(k));
            return;
        case InputSourceKind::Noise:
            for (std::size_t k = 0; k < count; ++k) levels[k] = NoiseVolts(s, in.input, in.ordinal + from + k);
            return;
        case InputSourceKind::AnalogOutput:
            std::fill(levels, levels + count, LoopbackVolts(s, outputs));
            return;
    }
    std::fill(levels, levels + count, 0.0);
}

}  // namespace

InputSource DefaultInputSourceFor(unsigned sequencer, unsigned channel) {
    // Quadratic in the channel so that neighbouring pairs differ too; sequencer 1 is negative.
    const double step = static_cast<double>((channel + 1) * (channel + 1));
    InputSource source;
    source.kind = InputSourceKind::Constant;
    source.volts = (sequencer == 0 ? 0.008 : -0.008) * step;
    return source;
}

double SourceVolts(const InputSource& source, double seconds, uint64_t ordinal, unsigned input,
                   const std::array<double, 4>& outputs) {
    switch (source.kind) {
        case InputSourceKind::Constant:
            return source.volts;
        case InputSourceKind::Sine:
            return SineVolts(source, seconds);
        case InputSourceKind::Square:
            return SquareVolts(source, seconds);
        case InputSourceKind::Ramp:
            return RampVolts(source, seconds);
        case InputSourceKind::Noise:
            return NoiseVolts(source, input, ordinal);
        case InputSourceKind::AnalogOutput:
            return LoopbackVolts(source, outputs);
    }
    return 0.0;
}

uint32_t PackConversion(double volts, uint32_t rangeCode, unsigned channel) {
    rangeCode &= 7;
    double counts = 0.0;
    const halvex::board::TInputRange* range = halvex::board::InputRangeOfCode(rangeCode);
    if (range != nullptr && std::isfinite(volts)) {
        counts = std::nearbyint(volts * halvex::board::kFullScaleCounts / range->HalfSpan);
        counts = std::fmin(std::fmax(counts, -32768.0), 32767.0);
    }
    return halvex::board::SampleWord(static_cast<uint16_t>(static_cast<int16_t>(counts)), rangeCode, channel);
}

void ConvertRun(const ConversionRun& run, const std::array<double, 4>& outputs, uint32_t* out, std::size_t count) {
    if (count == 0) return;
    const std::size_t stride = static_cast<std::size_t>(run.stride);
    if (Steady(*run.plus.source) && (!run.differential || Steady(*run.minus.source))) {
        double plus = 0.0;
        double minus = 0.0;
        Levels(run.plus, run, 0, outputs, &plus, 1);
        if (run.differential) Levels(run.minus, run, 0, outputs, &minus, 1);
        const uint32_t word = PackConversion(run.differential ? plus - minus : plus, run.rangeCode, run.channel);
        for (std::size_t k = 0; k < count; ++k) out[k * stride] = word;
        return;
    }
    // Small batches: the levels stay in the cache between their two passes.
    constexpr std::size_t kBatch = 256;
    double plus[kBatch];
    double minus[kBatch];
    for (std::size_t done = 0; done < count; done += kBatch) {
        const std::size_t n = std::min(kBatch, count - done);
        Levels(run.plus, run, done, outputs, plus, n);
        if (run.differential) {
            Levels(run.minus, run, done, outputs, minus, n);
            for (std::size_t k = 0; k < n; ++k) plus[k] -= minus[k];
        }
        uint32_t* words = out + done * stride;
        for (std::size_t k = 0; k < n; ++k) words[k * stride] = PackConversion(plus[k], run.rangeCode, run.channel);
    }
}

}  // namespace halvex::sim
