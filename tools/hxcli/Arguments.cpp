#include "Arguments.h"

#include <halvex/halvex.h>

#include <charconv>
#include <cmath>

#include "Boards.h"
#include "InputRanges.h"

namespace hxcli {

bool ParseU64(const std::string& text, uint64_t& value) {
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && text[0] != '-' && text[0] != '+' && error == std::errc{} && stop == end;
}

namespace {

bool ParseNumber(const std::string& text, double& value) {
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc{} && stop == end;
}

std::string BoardProblem(const std::string& text) {
    uint64_t board = 0;
    if (!ParseU64(text, board) || board >= BoardCount()) return "no board " + text + ": " + BoardsText();
    return {};
}

}  // namespace

CLI::Validator BoardIndex() {
    return CLI::Validator([](std::string& text) { return BoardProblem(text); }, "BOARD", "board index");
}

CLI::Validator StreamingBoard() {
    return CLI::Validator(
        [](std::string& text) {
            std::string problem = BoardProblem(text);
            uint64_t board = 0;
            if (problem.empty() && ParseU64(text, board) && !LayoutOf(board).streams)
                problem = "board " + text + " cannot stream: its start/stop registers are 16-bit; " +
                          StreamingBoardsText();
            return problem;
        },
        "BOARD", "streaming board");
}

CLI::Validator InputRangeArgument(bool keep) {
    return CLI::Validator(
        [keep](std::string& text) -> std::string {
            if ((keep && text == "keep") || FindInputRange(text) != nullptr) return {};
            return "bad range '" + text + "': use " + InputRangeRule() + (keep ? ", or keep" : "");
        },
        "RANGE", "input range");
}

CLI::Validator WholeNumber(uint64_t low, uint64_t high, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            uint64_t value = 0;
            if (ParseU64(text, value) && value >= low && value <= high) return {};
            const std::string allowed = high == low + 1 ? std::to_string(low) + " and " + std::to_string(high)
                                        : high == UINT64_MAX ? std::to_string(low) + " or more"
                                                             : std::to_string(low) + "-" + std::to_string(high);
            return "no " + what + " " + text + ": " + what + "s are " + allowed;
        },
        "", what);
}

CLI::Validator PositiveNumber(bool zero) {
    return CLI::Validator(
        [zero](std::string& text) -> std::string {
            double value = 0.0;
            if (ParseNumber(text, value) && std::isfinite(value) && (value > 0.0 || (zero && value == 0.0)))
                return {};
            return "'" + text + "' is not a number " + (zero ? "of 0 or more" : "above 0");
        },
        "", "positive number");
}

CLI::Validator ChunkBytes() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            uint64_t bytes = 0;
            if (ParseU64(text, bytes) && bytes >= HX_CHUNK_BYTES_MIN && bytes <= HX_CHUNK_BYTES_MAX && bytes % 4 == 0) return {};
            return "'" + text + "' bytes: a chunk is a multiple of 4 bytes from 4 to 67108864 (64 MiB)";
        },
        "BYTES", "chunk bytes");
}

}  // namespace hxcli
