#include "sim/AnalogInputSources.h"

#include <cmath>
#include <numbers>

namespace halvex::sim {
namespace {

// Half-span of each input range in volts; 16000 counts reach it. 0: code 6 is no range.
constexpr double kHalfSpan[8] = {12.0, 5.0, 2.5, 1.25, 0.625, 0.3125, 0.0, 10.0};

double Fraction(double x) { return x - std::floor(x); }

// A fixed, well-mixed sequence per input (splitmix64), mapped to -1 .. +1.
double NoiseUnit(unsigned input, uint64_t ordinal) {
    uint64_t z = ordinal + 0x9E3779B97F4A7C15ull * (input + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;
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
    const double cycles = source.hertz * seconds;
    switch (source.kind) {
        case InputSourceKind::Constant:
            return source.volts;
        case InputSourceKind::Sine:
            return source.volts + source.amplitude * std::sin(2.0 * std::numbers::pi * cycles);
        case InputSourceKind::Square:
            return source.volts + (Fraction(cycles) < 0.5 ? source.amplitude : -source.amplitude);
        case InputSourceKind::Ramp:
            return source.volts + source.amplitude * (2.0 * Fraction(cycles) - 1.0);
        case InputSourceKind::Noise:
            return source.volts + source.amplitude * NoiseUnit(input, ordinal);
        case InputSourceKind::AnalogOutput:
            return source.output < outputs.size() ? outputs[source.output] : 0.0;
    }
    return 0.0;
}

uint32_t PackConversion(double volts, uint32_t rangeCode, unsigned channel) {
    rangeCode &= 7;
    double counts = 0.0;
    if (kHalfSpan[rangeCode] != 0.0 && std::isfinite(volts)) {
        counts = std::nearbyint(volts * 16000.0 / kHalfSpan[rangeCode]);
        counts = std::fmin(std::fmax(counts, -32768.0), 32767.0);
    }
    const auto word = static_cast<uint16_t>(static_cast<int16_t>(counts));
    return word | rangeCode << 16 | (channel & 0xFu) << 20;
}

}  // namespace halvex::sim
