// The two register layouts that stream on sequencer 0. A streaming test runs on each, as a
// value-parameterised suite: INSTANTIATE_TEST_SUITE_P(EachLayout, Suite, StreamLayouts(), StreamLayoutName).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

struct StreamLayout {
    const char* name;
    uint32_t deviceId;
    uint32_t firmware;      // register 104: on 0x80E8 it picks the 32-bit commands
    const char* simBoards;  // the same board in HALVEX_SIM_BOARDS
};

inline constexpr StreamLayout kStreamLayouts[] = {
    {"Layout2_805C", 0x805C, 0, "805C"},
    {"Layout3_80E8", 0x80E8, 0x00010002, "80E8:fw=00010002"},
};

inline auto StreamLayouts() { return ::testing::ValuesIn(kStreamLayouts); }

inline std::string StreamLayoutName(const ::testing::TestParamInfo<StreamLayout>& info) { return info.param.name; }
