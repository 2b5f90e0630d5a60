// The files 'stream' and 'block' write: CSV with a metadata header, NumPy .npy, and raw
// little-endian binary. One row per scan: the samples of channels 0, 1, ... of one instant.
// A .npy or raw file written to a path gets its metadata in a JSON file beside it (<path>.json):
// numpy refuses a .npy header with keys of its own, and a raw file has no header at all.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace hxcli {

enum class SampleType { Volts, Counts, Raw };
const char* SampleTypeName(SampleType type);  // "volts", "counts", "raw"

// One converted sample: its packed word (for volts, the status half only) and its volts.
struct Sample {
    uint32_t word = 0;
    double volts = 0.0;
};

struct Metadata {
    std::string library;  // "0.1.0"
    UINT64 board = 0;
    DWORD deviceId = 0;
    unsigned sequencer = 0;
    double conversionRateHz = 0.0;  // achieved conversions per second over all channels
    double sampleRateHz = 0.0;      // the same per channel
    unsigned channels = 1;
    std::string ranges;  // "10V,10V"; filled in from the first scan when it arrives
    SampleType type = SampleType::Volts;
    std::string start;   // when the run started, ISO-8601 UTC
    uint64_t firstSample = 0;  // scan index since the run started of the file's first row
    uint64_t rows = 0;   // scans expected
};

class SampleFile {
public:
    enum class Format { Csv, Npy, Binary };

    // Opens `path` ("-" for standard output) for writing, and the JSON beside a .npy or raw file;
    // null with `error` set when either cannot be.
    static std::unique_ptr<SampleFile> Open(Format format, const std::string& path, std::string& error);
    ~SampleFile();
    SampleFile(const SampleFile&) = delete;
    SampleFile& operator=(const SampleFile&) = delete;

    bool ToStandardOutput() const { return stream_ == stdout; }
    // Whether a write has failed already; any thread may ask while another writes.
    bool Failed() const { return failed_.load(); }
    const std::string& Path() const { return path_; }
    void Begin(const Metadata& metadata);
    void Row(const Sample* samples, uint64_t index);
    // Completes the file with `rows` scans written; false with `error` when any write failed or
    // the header could not be made to match.
    bool Finish(uint64_t rows, std::string& error);

private:
    SampleFile(Format format, std::string path, std::FILE* stream, std::FILE* sidecar);
    void Write(const void* data, std::size_t bytes);
    void WriteNpyHeader(uint64_t rows);
    bool FinishSidecar(uint64_t rows, std::string& error);

    Format format_;
    std::string path_;
    std::FILE* stream_;
    std::FILE* sidecar_;  // <path>.json; null for CSV and standard output
    Metadata metadata_;
    int writeError_ = 0;  // errno of the first write that failed
    std::atomic<bool> failed_{false};
    std::string line_;  // CSV: the row being formatted
};

// The header dictionary of a .npy file for a 2-D C-order array, padded for rewriting in place.
std::string NpyHeader(SampleType type, uint64_t rows, unsigned channels);

// Now, as 2026-12-09T15:34:06.123Z.
std::string UtcNow();
// The wall-clock time of a reading of the library's chunk clock (HX_CHUNK_INFO's StartedNs,
// CompletedNs), in the same form.
std::string UtcOfChunkClock(UINT64 nanoseconds);

// The metadata as one JSON object, the shape of the data included.
std::string MetadataJson(const Metadata& metadata, uint64_t rows);

}  // namespace hxcli
