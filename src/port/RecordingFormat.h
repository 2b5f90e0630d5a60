// The recording file: what the driver port saw, as a versioned sequence of checksummed records.
// docs/recording-format.md describes the bytes for other tools; this is the one reader and
// writer of them. Plain C++: no Win32 here, so the reader can be fuzzed on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex::port::recording {

inline constexpr char kMagic[8] = {'H', 'X', 'R', 'E', 'C', 'O', 'R', 'D'};
inline constexpr uint16_t kVersion = 1;
inline constexpr uint32_t kHeaderBytes = 32;
// Framing around a payload: size (4), kind (1) before it, checksum (4) after it.
inline constexpr uint32_t kFrameBytes = 9;
// No record carries more than this; a larger size field is damage, not data.
inline constexpr uint32_t kMaxPayload = 64u << 20;
inline constexpr uint32_t kMaxPathUnits = 32768;
inline constexpr uint32_t kMaxPaths = 4096;
// Data limit meaning "every byte of every transfer".
inline constexpr uint32_t kAllData = 0xFFFFFFFFu;

enum class Kind : uint8_t { Enumerate = 1, Open = 2, Call = 3, Answer = 4, Complete = 5, Cancel = 6, Close = 7, End = 8 };
enum class Outcome : uint8_t { Done = 0, Failed = 1, Pending = 2 };

struct Header {
    uint16_t version = kVersion;
    uint32_t dataLimit = kAllData;  // bytes kept of each completed overlapped transfer
    uint64_t wallStartNs = 0;       // when the recording began, ns since 1970 (informative)
};

// One record; which members mean something depends on `kind`.
struct Record {
    Kind kind = Kind::End;
    uint64_t offset = 0;  // where the record starts in the file
    uint64_t timeNs = 0;  // since the recording began
    // Enumerate
    std::array<uint8_t, 16> guid{};
    std::vector<std::u16string> paths;
    // Open: path, handle (0 when it failed), error
    std::u16string path;
    uint32_t handle = 0;  // Open, Call, Cancel, Close: the recording's number for the handle
    uint32_t error = 0;   // Open, Answer, Complete, Cancel, Close: the last error, 0 for none
    // Call
    uint32_t request = 0;  // Call, Answer, Complete; Cancel: the request cancelled, 0 for all
    uint32_t code = 0;
    uint32_t outSize = 0;
    bool overlapped = false;
    bool inputUnreadable = false;  // the input could not be read: `input` is empty
    uint32_t inSize = 0;
    std::vector<uint8_t> input;
    // Answer, Complete
    Outcome outcome = Outcome::Done;  // Answer only
    uint32_t bytes = 0;               // bytes returned as the driver reported them
    std::vector<uint8_t> data;        // the output, perhaps only its first bytes
    // Writing only: when set, the output's first `dataFromSize` bytes are taken from here
    // instead of `data`, straight into the file's buffer (see AppendRecord).
    const void* dataFrom = nullptr;
    uint32_t dataFromSize = 0;
    // Cancel, Close
    bool ok = false;
};

struct Recording {
    Header header;
    std::vector<Record> records;
    bool ended = false;     // an End record closes it
    bool tornTail = false;  // bytes after the last complete record were dropped
};

struct ReadError {
    std::string cause;
    uint64_t offset = 0;
    std::string Text() const;  // "<cause> at byte <offset>"
};

uint32_t Crc32(const uint8_t* bytes, std::size_t size, uint32_t crc = 0);

// Reads a whole recording. False with `error` set when the bytes are not a recording this
// version can replay: another magic or version, damage (a checksum, a size, a field out of
// range), a record that contradicts the ones before it, or an incomplete last record (unless
// `acceptTornTail`, which drops it). Never reads outside [bytes, bytes + size).
bool Parse(const uint8_t* bytes, std::size_t size, bool acceptTornTail, Recording& out, ReadError& error);

// Copies `size` bytes; false when they cannot be read (the copy then counts for nothing).
using LoadBytes = bool (*)(void* to, const void* from, std::size_t size);

// Appends the file header or one framed record. A record with `dataFrom` set takes its data
// from there through `load` (required then), in one copy; data it cannot read is kept empty.
void AppendHeader(std::vector<uint8_t>& out, const Header& header);
void AppendRecord(std::vector<uint8_t>& out, const Record& record, LoadBytes load = nullptr);

}  // namespace halvex::port::recording
