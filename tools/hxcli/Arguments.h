// Checks of hxcli's arguments, run by the parser before any command acts: each message names
// the argument and what it allows, and the command line fails with exit code 2.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace hxcli {

// A board the library opened: "no board 7: boards 0-2".
CLI::Validator BoardIndex();
// A board that can stream: "board 0 cannot stream: its start/stop registers are 16-bit; ...".
CLI::Validator StreamingBoard();
// An input range by name or volts (InputRanges.h), or 'keep' where `keep` allows it.
CLI::Validator InputRangeArgument(bool keep);
// A whole number from `low` to `high`, decimal: "no sequencer 2: sequencers are 0 and 1".
CLI::Validator WholeNumber(uint64_t low, uint64_t high, const std::string& what);
// A finite number above 0, or at least 0 with `zero`.
CLI::Validator PositiveNumber(bool zero = false);
// Bytes of one transfer: a multiple of 4 from 4 to 64 MiB.
CLI::Validator ChunkBytes();

// Decimal digits only, no sign.
bool ParseU64(const std::string& text, uint64_t& value);

}  // namespace hxcli
