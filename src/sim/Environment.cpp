#include "sim/Environment.h"

#include <limits>

#include "sim/BoardList.h"
#include "sim/Bus.h"

namespace halvex::sim {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ParseNumber(std::string_view text, unsigned base, uint32_t& value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (digit >= base) return false;
        result = result * base + digit;
        if (result > std::numeric_limits<uint32_t>::max()) return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool ParseBoard(std::string_view item, BoardSetup& setup) {
    std::size_t colon = item.find(':');
    if (!ParseNumber(Trim(item.substr(0, colon)), 16, setup.deviceId)) return false;
    while (colon != std::string_view::npos) {
        item.remove_prefix(colon + 1);
        colon = item.find(':');
        const std::string_view option = Trim(item.substr(0, colon));
        const std::size_t equals = option.find('=');
        if (equals == std::string_view::npos) return false;
        const std::string_view key = Trim(option.substr(0, equals));
        const std::string_view value = Trim(option.substr(equals + 1));
        if (key == "fw") {
            if (!ParseNumber(value, 16, setup.firmware)) return false;
        } else if (key == "clock") {
            if (!ParseNumber(value, 10, setup.baseClock)) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

// Parses the list into `boards`; the first entry that does not parse, when one does not.
std::optional<std::string> Parse(std::string_view text, std::vector<BoardSetup>& boards) {
    text = Trim(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        BoardSetup setup;
        const std::string_view entry = text.substr(0, comma);
        if (!ParseBoard(entry, setup)) return std::string(Trim(entry));
        boards.push_back(setup);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        // A trailing comma names an empty board.
        if (Trim(text).empty()) return std::string();
    }
    return std::nullopt;
}

}  // namespace

bool ParseBoardList(std::string_view text, std::vector<BoardSetup>& boards) {
    std::vector<BoardSetup> parsed;
    if (Parse(text, parsed)) return false;
    boards = std::move(parsed);
    return true;
}

std::optional<std::string> FirstBadEntry(std::string_view text) {
    std::vector<BoardSetup> ignored;
    return Parse(text, ignored);
}

bool UseBoardsFrom(const char* value) {
    std::vector<BoardSetup> boards;
    if (value == nullptr || !ParseBoardList(value, boards)) {
        UseDefaultBus();
        return value == nullptr;
    }
    ResetBus();
    for (const BoardSetup& setup : boards) Bus::Instance().AddBoard(setup);
    RefreshBoardList();
    return true;
}

}  // namespace halvex::sim
