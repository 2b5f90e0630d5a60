// The sim API of the analog inputs: sources per channel and the command spacing.
#include <halvex/sim_c.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include "sim/AnalogInputModel.h"
#include "sim/AnalogInputSources.h"
#include "sim/Board.h"
#include "sim/Bus.h"
#include "sim/api/SimCall.h"

using namespace halvex::sim;

namespace {

constexpr double kMaxCommandSpacingMicroseconds = 1e12;

void CheckChannel(unsigned sequencer, unsigned channel) {
    if (sequencer >= kInputSequencers) throw std::out_of_range("a board has sequencers 0 and 1");
    if (channel >= kInputChannels) throw std::out_of_range("a sequencer has channels 0 to 7");
}

// Runs `use` on the board's input model under the board's mutex.
template <typename Use>
auto WithInputs(UINT64 board, Use&& use) {
    ModelOf<AnalogInputModel> target(Position(board), "the board has no analog inputs");
    std::lock_guard lock(target.board->mutex);
    return use(*target.model);
}

// Stores each part of a source that is wanted, all or nothing.
DWORD StoreSource(const InputSource& source, DWORD* pKind, double* pVolts, double* pAmplitude, double* pHertz,
                  DWORD* pOutput) {
    if (!Writable(pKind, sizeof *pKind) || !Writable(pVolts, sizeof *pVolts) ||
        !Writable(pAmplitude, sizeof *pAmplitude) || !Writable(pHertz, sizeof *pHertz) ||
        !Writable(pOutput, sizeof *pOutput)) {
        return ERROR_INVALID_ADDRESS;
    }
    return Stored(StoreIfWanted(pKind, static_cast<DWORD>(source.kind)) && StoreIfWanted(pVolts, source.volts) &&
                  StoreIfWanted(pAmplitude, source.amplitude) && StoreIfWanted(pHertz, source.hertz) &&
                  StoreIfWanted(pOutput, DWORD{source.output}));
}

}  // namespace

static_assert(HXSIM_SOURCE_CONSTANT == static_cast<int>(InputSourceKind::Constant) &&
              HXSIM_SOURCE_SINE == static_cast<int>(InputSourceKind::Sine) &&
              HXSIM_SOURCE_SQUARE == static_cast<int>(InputSourceKind::Square) &&
              HXSIM_SOURCE_RAMP == static_cast<int>(InputSourceKind::Ramp) &&
              HXSIM_SOURCE_NOISE == static_cast<int>(InputSourceKind::Noise) &&
              HXSIM_SOURCE_LOOPBACK == static_cast<int>(InputSourceKind::AnalogOutput));

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD Kind,
                                                       double Volts, double Amplitude, double Hertz, DWORD Output) {
    return SimCall([&]() -> DWORD {
        if (Kind > HXSIM_SOURCE_LOOPBACK) return ERROR_INVALID_PARAMETER;
        if (!std::isfinite(Volts) || !std::isfinite(Amplitude) || !std::isfinite(Hertz)) return ERROR_INVALID_PARAMETER;
        CheckChannel(Sequencer, Channel);
        if (Kind == HXSIM_SOURCE_LOOPBACK && Output >= 4) return ERROR_INVALID_PARAMETER;
        InputSource source;
        source.kind = static_cast<InputSourceKind>(Kind);
        source.volts = Volts;
        source.amplitude = Amplitude;
        source.hertz = Hertz;
        source.output = Output;
        WithInputs(iBoard, [&](AnalogInputModel& model) { model.Source(Sequencer, Channel) = source; });
        return ERROR_SUCCESS;
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetInputSource(UINT64 iBoard, DWORD Sequencer, DWORD Channel, DWORD* pKind,
                                                       double* pVolts, double* pAmplitude, double* pHertz,
                                                       DWORD* pOutput) {
    return SimCall([&] {
        CheckChannel(Sequencer, Channel);
        const InputSource source =
            WithInputs(iBoard, [&](AnalogInputModel& model) { return model.Source(Sequencer, Channel); });
        return StoreSource(source, pKind, pVolts, pAmplitude, pHertz, pOutput);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_GetDefaultInputSource(DWORD Sequencer, DWORD Channel, DWORD* pKind,
                                                              double* pVolts, double* pAmplitude, double* pHertz,
                                                              DWORD* pOutput) {
    return SimCall([&] {
        CheckChannel(Sequencer, Channel);
        return StoreSource(DefaultInputSourceFor(Sequencer, Channel), pKind, pVolts, pAmplitude, pHertz, pOutput);
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_PackConversion(double Volts, DWORD RangeCode, DWORD Channel, DWORD* pWord) {
    return SimCall([&] {
        const DWORD word = PackConversion(Volts, RangeCode, Channel);
        return Stored(halvex::platform::GuardedStoreValue(pWord, word));
    });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_SetCommandSpacing(UINT64 iBoard, double Microseconds) {
    return SimCall([&]() -> DWORD {
        // Whole nanoseconds must hold it: converting what they cannot is undefined.
        if (!(Microseconds >= 0.0 && Microseconds <= kMaxCommandSpacingMicroseconds)) return ERROR_INVALID_PARAMETER;
        const auto spacing = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double, std::micro>(Microseconds));
        WithInputs(iBoard, [&](AnalogInputModel& model) { model.SetCommandSpacing(spacing); });
        return ERROR_SUCCESS;
    });
}
