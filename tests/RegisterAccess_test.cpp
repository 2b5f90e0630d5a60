// The register exports and what reaches the driver.
#include "LibraryFixture.h"

using namespace halvex;
namespace hs = halvex::sim;

class RegisterAccessTest : public LibraryTest {
protected:
    void SetUp() override {
        StartDefault();
        for (std::size_t b = 0; b < 3; ++b) hs::ClearRequests(b);
    }
};

TEST_F(RegisterAccessTest, ReadsAndWritesReachTheRegisterAtEachWidth) {
    EXPECT_EQ(PIO_Out32(1, 0x200, 0x11223344), 0u);
    EXPECT_EQ(PIO_In32(1, 0x200), 0x11223344u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(PIO_In16(1, 0x202), 0x1122);
    EXPECT_EQ(PIO_In8(1, 0x201), 0x33);
    EXPECT_EQ(PIO_Out16(1, 0x200, 0xBEEF), 0u);
    EXPECT_EQ(PIO_Out8(1, 0x203, 0x7A), 0u);
    EXPECT_EQ(hs::GetRegister(1, 0x200), 0x7A22BEEFu);
    const std::vector<hs::RegisterWrite> writes = {{0x200, 4, 0x11223344}, {0x200, 2, 0xBEEF}, {0x203, 1, 0x7A}};
    EXPECT_EQ(hs::RegisterWrites(1), writes);
}

TEST_F(RegisterAccessTest, AnOffsetReachesTheDriverAsItsLow16Bits) {
    PIO_Out32(0, 0x10204, 5);
    PIO_In32(0, 0xFFFF0208);
    const auto requests = hs::Requests(0);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Offset(), 0x0204);
    EXPECT_EQ(requests[1].Offset(), 0x0208);
    EXPECT_EQ(requests[1].code, hs::kIoctlRegRead);
    EXPECT_EQ(requests[1].input.size(), 8u);
    EXPECT_EQ(requests[1].input[2], 1);  // the request's constant byte
}

TEST_F(RegisterAccessTest, ABadBoardGivesTheFailureValueCutToWidth) {
    EXPECT_EQ(PIO_In8(3, 0), 0x55);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_In16(3, 0), 0xAA55);
    EXPECT_EQ(PIO_In32(3, 0), 0xAA55AA55u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(PIO_Out16(3, 0, 1), static_cast<DWORD>(ERROR_INVALID_INDEX));

    DWORD value = 0;
    EXPECT_EQ(PIO_INS32(3, 0, 1, &value), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(value, 0xAA55AA55u);
    WORD words[2] = {};
    EXPECT_EQ(PIO_INS16(3, 0, 2, words), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(RegisterAccessTest, ADriverFailureIsReportedThroughTheLastError) {
    hs::FailRequests(0, hs::kIoctlRegRead, {hs::FailKind::Now, ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(PIO_In16(0, 12), 0xAA55);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    BYTE byte = 0;
    EXPECT_EQ(PIO_INS8(0, 12, 1, &byte), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(byte, 0x55);

    // A failure that comes without a code is reported as a general failure.
    hs::FailRequests(0, hs::kIoctlRegWrite, {hs::FailKind::Now, 0});
    EXPECT_EQ(PIO_Out32(0, 0x100, 1), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(RegisterAccessTest, BlockReadsAskTheDriverForWidthTimesCountBytes) {
    DWORD values[4] = {};
    hs::SetRegister(2, 0x300, 0xCAFE0001);
    EXPECT_EQ(PIO_INS32(2, 0x300, 4, values), 0u);
    const auto requests = hs::Requests(2);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, hs::kIoctlRegReadBlock);
    EXPECT_EQ(requests[0].outSize, 16u);
    EXPECT_EQ(requests[0].Width(), 4);
    EXPECT_EQ(values[3], 0xCAFE0001u);

    // A single-element read is a plain register read.
    WORD word = 0;
    EXPECT_EQ(PIO_INS16(2, 0x300, 1, &word), 0u);
    EXPECT_EQ(word, 0x0001);
    EXPECT_EQ(hs::Requests(2).back().code, hs::kIoctlRegRead);
}

TEST_F(RegisterAccessTest, MultipleWritesAreRefusedBeforeAnyCheck) {
    const WORD words[2] = {1, 2};
    SetLastError(99);
    EXPECT_EQ(PIO_OUTS16(0, 0x100, 2, words), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(PIO_OUTS16(3, 0x100, 2, words), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(PIO_OUTS8(3, 0x100, 0, nullptr), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(GetLastError(), 99u);
    EXPECT_TRUE(hs::Requests(0).empty());

    const DWORD one = 0x01020304;
    EXPECT_EQ(PIO_OUTS32(0, 0x100, 1, &one), 0u);
    EXPECT_EQ(hs::GetRegister(0, 0x100), 0x01020304u);
}

TEST_F(RegisterAccessTest, An8BitWriteSendsOnlyTheLowByte) {
    // A caller whose compiler passes the whole register: only the low 8 bits may count.
    using Wide = DWORD(WINAPI*)(UINT64, DWORD, DWORD);
    auto out8 = reinterpret_cast<Wide>(reinterpret_cast<void*>(&PIO_Out8));
    EXPECT_EQ(out8(0, 0x100, 0x1FF), 0u);
    EXPECT_EQ(hs::RegisterWrites(0).back(), (hs::RegisterWrite{0x100, 1, 0xFF}));
}
