#include "Boards.h"

#include <halvex/halvex.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace hxcli {

uint64_t BoardCount() {
    const INT64 highest = BRD_GetHighestBoardIndex();
    return highest < 0 ? 0 : static_cast<uint64_t>(highest) + 1;
}

namespace {

HX_BOARD_INFO InfoOf(UINT64 board) {
    HX_BOARD_INFO info{};
    info.Size = sizeof info;
    HX_GetBoardInfo(board, &info);
    return info;
}

}  // namespace

Layout LayoutOf(UINT64 board) {
    switch (InfoOf(board).Layout) {
        case 2:
            return {2, "layout 2 (32-bit start/stop)", "32-bit commands", true};
        case 3:
            return {3, "layout 3 (32-bit start/stop)", "32-bit commands", true};
        default:
            return {1, "layout 1 (16-bit start/stop)", "16-bit commands", false};
    }
}

DWORD BaseClockOf(UINT64 board) { return InfoOf(board).BaseClock; }

std::optional<DWORD> RateDivisor(UINT64 board, double hz, unsigned channels, std::string& why) {
    const double clock = BaseClockOf(board);
    const double conversions = channels == 0 ? hz : hz * channels;
    const double quotient = std::isfinite(conversions) && conversions > 0 ? std::nearbyint(clock / conversions) : 0.0;
    if (quotient >= 1.0 && quotient <= 4294967295.0) return static_cast<DWORD>(quotient);
    char text[300];
    if (channels == 0) {
        std::snprintf(text, sizeof text,
                      "board %llu converts at %.6g to %.10g conversions per second (its base clock, %.10g Hz, "
                      "divided by 1 to 4294967295)",
                      static_cast<unsigned long long>(board), clock / 4294967295.0, clock, clock);
    } else {
        std::snprintf(text, sizeof text,
                      "board %llu samples %u channel%s at %.6g to %.10g samples per second per channel (its base "
                      "clock, %.10g Hz, divided by 1 to 4294967295%s)",
                      static_cast<unsigned long long>(board), channels, channels == 1 ? "" : "s",
                      clock / 4294967295.0 / channels, clock / channels, clock,
                      channels == 1 ? "" : ", shared by the channels");
    }
    why = text;
    return std::nullopt;
}

namespace {

std::string ListText(const std::vector<uint64_t>& boards) {
    std::string text;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        if (i > 0) text += i + 1 == boards.size() ? " and " : ", ";
        text += std::to_string(boards[i]);
    }
    return text;
}

}  // namespace

std::string BoardsText() {
    const uint64_t count = BoardCount();
    if (count == 0) return "no boards found";
    if (count == 1) return "board 0";
    return "boards 0-" + std::to_string(count - 1);
}

std::string StreamingBoardsText() {
    std::vector<uint64_t> boards;
    for (uint64_t b = 0; b < BoardCount(); ++b)
        if (LayoutOf(b).streams) boards.push_back(b);
    if (boards.empty()) return "no board can";
    return (boards.size() == 1 ? "board " : "boards ") + ListText(boards) + " can";
}

}  // namespace hxcli
