// hxcli list, reset, reg.
#include <halvex/halvex.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Boards.h"
#include "Command.h"

namespace hxcli {
namespace {

std::string BoardName(UINT64 board) {
    char name[256] = {};
    DWORD length = 0;
    const DWORD result = BRD_GetNameA(board, sizeof name - 1, name, &length);
    if (result != 0) return "(no board-name list)";
    return length == 0 ? "(unnamed)" : std::string(name);
}

int List() {
    const INT64 highest = BRD_GetHighestBoardIndex();
    if (highest < 0) {
        std::printf("No board found.\n");
        return kExitOk;
    }
    std::printf("%-5s %-6s %-34s %-30s %-16s %s\n", "index", "id", "name", "registers", "immediate reads",
                "base clock");
    for (INT64 b = 0; b <= highest; ++b) {
        const UINT64 board = static_cast<UINT64>(b);
        DWORD id = 0;
        if (const DWORD r = BRD_GetDeviceID(board, &id); r != 0) return Fail("BRD_GetDeviceID", r);
        const Layout layout = LayoutOf(board);
        const DWORD clock = BaseClockOf(board);
        std::printf("%-5lld %04X   %-34s %-30s %-16s %.3f MHz\n", static_cast<long long>(b),
                    static_cast<unsigned>(id), BoardName(board).c_str(), layout.registers, layout.immediate,
                    clock / 1e6);
    }
    return kExitOk;
}

bool ValidWidth(unsigned width) { return width == 8 || width == 16 || width == 32; }

int Reset(UINT64 board) {
    const DWORD r = BRD_Reset(board);
    if (r != 0) return Fail("BRD_Reset", r);
    std::printf("Board %llu reset.\n", static_cast<unsigned long long>(board));
    return kExitOk;
}

struct RegArgs {
    UINT64 board = 0;
    unsigned width = 32;
    std::string offset;
    std::string value;
    uint32_t count = 1;
};

int Reg(const RegArgs& args, bool read) {
    uint32_t offset = 0;
    if (!ValidWidth(args.width)) {
        std::fprintf(stderr, "hxcli: width must be 8, 16 or 32\n");
        return kExitUsage;
    }
    if (!ParseU32(args.offset, offset)) {
        std::fprintf(stderr, "hxcli: bad offset '%s'\n", args.offset.c_str());
        return kExitUsage;
    }
    if (read) {
        std::vector<DWORD> values(args.count);
        DWORD r = 0;
        if (args.width == 8) {
            std::vector<BYTE> v(args.count);
            r = PIO_INS8(args.board, offset, args.count, v.data());
            values.assign(v.begin(), v.end());
        } else if (args.width == 16) {
            std::vector<WORD> v(args.count);
            r = PIO_INS16(args.board, offset, args.count, v.data());
            values.assign(v.begin(), v.end());
        } else {
            r = PIO_INS32(args.board, offset, args.count, values.data());
        }
        if (r != 0) return Fail("register read", r);
        const int digits = static_cast<int>(args.width / 4);
        for (const DWORD v : values) std::printf("0x%0*X\n", digits, static_cast<unsigned>(v));
        return kExitOk;
    }
    uint32_t value = 0;
    if (!ParseU32(args.value, value) || (args.width < 32 && value >> args.width != 0)) {
        std::fprintf(stderr, "hxcli: bad value '%s' for a %u-bit register\n", args.value.c_str(), args.width);
        return kExitUsage;
    }
    const DWORD r = args.width == 8    ? PIO_Out8(args.board, offset, static_cast<BYTE>(value))
                    : args.width == 16 ? PIO_Out16(args.board, offset, static_cast<WORD>(value))
                                       : PIO_Out32(args.board, offset, value);
    if (r != 0) return Fail("register write", r);
    return kExitOk;
}

}  // namespace

Command AddListCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("list", "List the boards the library opened: index, identifier, name, register "
                                           "layout, immediate-read method and base clock.");
    return {cmd, List};
}

Command AddResetCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("reset", "Reset a board through its reset register.");
    auto board = std::make_shared<UINT64>(0);
    cmd->add_option("board", *board, "Board index")->required()->check(BoardIndex());
    return {cmd, [board] { return Reset(*board); }};
}

Command AddRegCommand(CLI::App& app) {
    auto* reg = app.add_subcommand("reg", "Read or write board registers.");
    reg->require_subcommand(1);
    auto args = std::make_shared<RegArgs>();
    auto* read = reg->add_subcommand("read", "Read a register; with --count, read it that many times (a FIFO).");
    read->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    read->add_option("offset", args->offset, "Byte offset (decimal or 0x-hex)")->required();
    read->add_option("-w,--width", args->width, "Access width in bits: 8, 16 or 32")->default_val(32);
    read->add_option("-n,--count", args->count, "Number of reads")->default_val(1)->check(CLI::Range(1u, 65536u));
    auto* write = reg->add_subcommand("write", "Write a register.");
    write->add_option("board", args->board, "Board index")->required()->check(BoardIndex());
    write->add_option("offset", args->offset, "Byte offset (decimal or 0x-hex)")->required();
    write->add_option("value", args->value, "Value (decimal or 0x-hex)")->required();
    write->add_option("-w,--width", args->width, "Access width in bits: 8, 16 or 32")->default_val(32);
    return {reg, [args, read] { return Reg(*args, read->parsed()); }};
}

}  // namespace hxcli
