// One simulated board: its identity, register file, device models, request log and injected
// failures, and how it answers a control request.
#pragma once

#include <windows.h>

#include <halvex/sim.h>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/Device.h"
#include "sim/RegisterFile.h"

namespace halvex::sim {

class Board {
public:
    // `position` is the board's place on the bus; it goes into the made-up path and BAR bases.
    Board(std::size_t position, const BoardSetup& setup);
    // Models go in the reverse order of their attachment: a later model may use an earlier one
    // (and run a thread that does) until it is gone.
    ~Board() {
        while (!models_.empty()) models_.pop_back();
    }

    // Constant after construction: read without the mutex.
    const BoardSetup& Setup() const { return setup_; }
    uint32_t BarBase(unsigned index) const { return barBases_[index]; }
    static constexpr unsigned kBarCount = 6;

    // Answers one request: logs it, applies an injected failure, then the models, then the
    // bus's own codes. Takes the mutex.
    ControlAnswer Answer(const ControlCall& call);

    // Register access with the models' side effects. Caller holds the mutex and has checked
    // RegisterFile::Contains(offset, width).
    uint32_t ReadRegister(uint32_t offset, unsigned width);
    void WriteRegister(uint32_t offset, unsigned width, uint32_t value);

    void AttachModel(std::unique_ptr<Device> model) { models_.push_back(std::move(model)); }
    // The attached model of type T, or null. For the sim API and for models that work together.
    template <typename T>
    T* FindModel() const {
        for (const auto& model : models_) {
            if (auto* found = dynamic_cast<T*>(model.get())) return found;
        }
        return nullptr;
    }

    // Requests kept in the log: a stream makes thousands a second, and a log that grew without
    // end would, each time it moved, hold the board while a transfer waits.
    static constexpr std::size_t kRequestsKept = 65536;

    // Guards everything below and the models' state.
    std::mutex mutex;
    RegisterFile registers;
    std::deque<Request> log;  // the newest kRequestsKept requests, oldest first
    std::map<DWORD, Failure> failures;  // by control code
    DWORD openFailure = 0;
    // Volts on each analog output, kept by the DAC model; the inputs wired to an output read it.
    std::array<double, 4> analogOutputVolts{};

private:
    ControlAnswer Dispatch(const ControlCall& call);
    ControlAnswer AnswerDeviceId(const ControlCall& call);
    ControlAnswer AnswerBarBase(const ControlCall& call);
    ControlAnswer AnswerRegister(const ControlCall& call);
    ControlAnswer AnswerRegisterBlock(const ControlCall& call);

    BoardSetup setup_;
    std::array<uint32_t, kBarCount> barBases_{};
    std::vector<std::unique_ptr<Device>> models_;
};

}  // namespace halvex::sim
