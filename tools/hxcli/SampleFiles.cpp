#include "SampleFiles.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>

#include "Terminal.h"

namespace hxcli {

static_assert(std::endian::native == std::endian::little, "the files hold the samples as they are in memory");

namespace {

// Enough for a header whose row count grows to 20 digits when it is rewritten.
constexpr std::size_t kNpyHeaderBytes = 128;

// The shortest text that reads back as the same double, without an exponent where it fits.
void AppendNumber(std::string& text, double value) {
    char digits[64];
    auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    if (result.ec != std::errc{}) result = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, result.ptr);
}

// Volts are counts times a range's step, and every step has at most 11 decimal places: printed
// to those places, a reading shows as the decimal it is (0.0003125, not 0.00031250000000000001).
void AppendVolts(std::string& text, double value) {
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 11);
    if (result.ec != std::errc{}) return AppendNumber(text, value);
    std::string_view number(digits, static_cast<std::size_t>(result.ptr - digits));
    if (number.find('.') != std::string_view::npos) {
        while (number.back() == '0') number.remove_suffix(1);
        if (number.back() == '.') number.remove_suffix(1);
    }
    text.append(number == "-0" ? std::string_view("0") : number);
}

template <typename Integer>
void AppendInteger(std::string& text, Integer value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, result.ptr);
}

std::string UtcText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto now = floor<microseconds>(when);
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

// JSON text of a string: the few characters that need it escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

const char* NpyDescr(SampleType type) {
    return type == SampleType::Volts ? "<f8" : type == SampleType::Counts ? "<i4" : "<u4";
}

std::string DeviceText(DWORD deviceId) {
    char device[16];
    std::snprintf(device, sizeof device, "%04X", static_cast<unsigned>(deviceId));
    return device;
}

}  // namespace

const char* SampleTypeName(SampleType type) {
    switch (type) {
        case SampleType::Counts: return "counts";
        case SampleType::Raw: return "raw";
        default: return "volts";
    }
}

std::string NpyHeader(SampleType type, uint64_t rows, unsigned channels) {
    std::string dict = std::string("{'descr': '") + NpyDescr(type) + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(channels) + "), }";
    dict.resize(kNpyHeaderBytes - 10 - 1, ' ');
    dict += '\n';
    const auto length = static_cast<uint16_t>(dict.size());
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(length & 0xFF);
    header += static_cast<char>(length >> 8);
    return header + dict;
}

std::string UtcNow() { return UtcText(std::chrono::system_clock::now()); }

std::string UtcOfChunkClock(UINT64 nanoseconds) {
    // The chunk clock is the performance counter in nanoseconds; the wall clock is read right
    // after it, so the difference between the two readings is the age of `nanoseconds`.
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    const auto wall = std::chrono::system_clock::now();
    const auto ticks = static_cast<uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<uint64_t>(frequency.QuadPart);
    if (perSecond == 0) return UtcText(wall);
    const uint64_t now = ticks / perSecond * 1'000'000'000u + ticks % perSecond * 1'000'000'000u / perSecond;
    const auto age = std::chrono::nanoseconds(static_cast<int64_t>(now - nanoseconds));
    return UtcText(wall - std::chrono::duration_cast<std::chrono::system_clock::duration>(age));
}

std::string MetadataJson(const Metadata& metadata, uint64_t rows) {
    std::string text = "{\n  \"halvex\": " + Quoted(metadata.library) + ",\n  \"board\": ";
    AppendInteger(text, metadata.board);
    text += ",\n  \"device\": " + Quoted(DeviceText(metadata.deviceId)) + ",\n  \"sequencer\": ";
    AppendInteger(text, metadata.sequencer);
    text += ",\n  \"sample_rate_hz\": ";
    AppendNumber(text, metadata.sampleRateHz);
    text += ",\n  \"conversion_rate_hz\": ";
    AppendNumber(text, metadata.conversionRateHz);
    text += ",\n  \"channels\": ";
    AppendInteger(text, metadata.channels);
    text += ",\n  \"ranges\": " + Quoted(metadata.ranges) + ",\n  \"units\": " +
            Quoted(SampleTypeName(metadata.type)) + ",\n  \"start\": " + Quoted(metadata.start) +
            ",\n  \"first_sample\": ";
    AppendInteger(text, metadata.firstSample);
    text += ",\n  \"dtype\": " + Quoted(NpyDescr(metadata.type)) + ",\n  \"shape\": [";
    AppendInteger(text, rows);
    text += ", ";
    AppendInteger(text, metadata.channels);
    text += "]\n}\n";
    return text;
}

std::unique_ptr<SampleFile> SampleFile::Open(Format format, const std::string& path, std::string& error) {
    std::FILE* stream = nullptr;
    std::FILE* sidecar = nullptr;
    if (path == "-") {
        stream = stdout;
        if (format != Format::Csv) UseBinary(stdout);
    } else {
        stream = std::fopen(path.c_str(), format == Format::Csv ? "w" : "wb");
        if (stream == nullptr) {
            error = "cannot write '" + path + "': " + std::strerror(errno);
            return nullptr;
        }
        if (format != Format::Csv) {
            const std::string json = path + ".json";
            sidecar = std::fopen(json.c_str(), "w");
            if (sidecar == nullptr) {
                error = "cannot write '" + json + "' (the metadata of '" + path + "'): " + std::strerror(errno);
                std::fclose(stream);
                return nullptr;
            }
        }
    }
    return std::unique_ptr<SampleFile>(new SampleFile(format, path, stream, sidecar));
}

SampleFile::SampleFile(Format format, std::string path, std::FILE* stream, std::FILE* sidecar)
    : format_(format), path_(std::move(path)), stream_(stream), sidecar_(sidecar) {}

SampleFile::~SampleFile() {
    if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
    if (sidecar_ != nullptr) std::fclose(sidecar_);
}

void SampleFile::Write(const void* data, std::size_t bytes) {
    errno = 0;
    if ((std::fwrite(data, 1, bytes, stream_) != bytes || std::ferror(stream_)) && writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
        failed_.store(true);
    }
}

void SampleFile::WriteNpyHeader(uint64_t rows) {
    const std::string header = NpyHeader(metadata_.type, rows, metadata_.channels);
    Write(header.data(), header.size());
}

void SampleFile::Begin(const Metadata& metadata) {
    metadata_ = metadata;
    if (format_ == Format::Npy) {
        WriteNpyHeader(metadata.rows);
    } else if (format_ == Format::Csv) {
        std::string text = "# halvex: " + metadata.library + "\n# board: " + std::to_string(metadata.board) +
                           "\n# device: " + DeviceText(metadata.deviceId) +
                           "\n# sequencer: " + std::to_string(metadata.sequencer) + "\n# sample_rate_hz: ";
        AppendNumber(text, metadata.sampleRateHz);
        text += "\n# conversion_rate_hz: ";
        AppendNumber(text, metadata.conversionRateHz);
        text += "\n# channels: " + std::to_string(metadata.channels) + "\n# ranges: " + metadata.ranges +
                "\n# units: " + SampleTypeName(metadata.type) + "\n# start: " + metadata.start +
                "\n# first_sample: " + std::to_string(metadata.firstSample) + "\ntime_s";
        for (unsigned c = 0; c < metadata.channels; ++c) text += ",ch" + std::to_string(c);
        text += '\n';
        Write(text.data(), text.size());
    }
}

void SampleFile::Row(const Sample* samples, uint64_t index) {
    const unsigned channels = metadata_.channels;
    if (format_ != Format::Csv) {
        for (unsigned c = 0; c < channels; ++c) {
            if (metadata_.type == SampleType::Volts) {
                Write(&samples[c].volts, sizeof(double));
            } else if (metadata_.type == SampleType::Counts) {
                const int32_t counts = static_cast<int16_t>(samples[c].word & 0xFFFF);
                Write(&counts, sizeof counts);
            } else {
                Write(&samples[c].word, sizeof samples[c].word);
            }
        }
        return;
    }
    line_.clear();
    // Divided, not multiplied by a period: 3 / 10000 prints as 0.0003, where 3 x 0.0001 would not.
    AppendNumber(line_, static_cast<double>(metadata_.firstSample + index) / metadata_.sampleRateHz);
    for (unsigned c = 0; c < channels; ++c) {
        line_ += ',';
        if (metadata_.type == SampleType::Volts) {
            AppendVolts(line_, samples[c].volts);
        } else if (metadata_.type == SampleType::Counts) {
            AppendInteger(line_, static_cast<int16_t>(samples[c].word & 0xFFFF));
        } else {
            AppendInteger(line_, samples[c].word);
        }
    }
    line_ += '\n';
    Write(line_.data(), line_.size());
}

bool SampleFile::Finish(uint64_t rows, std::string& error) {
    bool ok = true;
    if (format_ == Format::Npy && rows != metadata_.rows) {
        // The header promised the scans asked for; a file gets the count it holds.
        if (stream_ != stdout && std::fseek(stream_, 0, SEEK_SET) == 0) {
            WriteNpyHeader(rows);
        } else {
            error = "standard output holds " + std::to_string(rows) + " scans, not the " +
                    std::to_string(metadata_.rows) + " its .npy header announced";
            ok = false;
        }
    }
    errno = 0;
    const bool written = std::fflush(stream_) == 0 && !std::ferror(stream_) && writeError_ == 0;
    if (!written && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
    if (stream_ != stdout && std::fclose(stream_) != 0 && ok && written) {
        error = "cannot finish '" + path_ + "': " + std::strerror(errno);
        ok = false;
    }
    if (stream_ == stdout) std::fflush(stdout);
    stream_ = nullptr;
    if (!written && ok) {
        error = "writing '" + path_ + "' failed: " + std::strerror(writeError_);
        ok = false;
    }
    std::string problem;
    if (!FinishSidecar(rows, problem) && ok) {
        error = problem;
        ok = false;
    }
    return ok;
}

bool SampleFile::FinishSidecar(uint64_t rows, std::string& error) {
    if (sidecar_ == nullptr) return true;
    const std::string text = MetadataJson(metadata_, rows);
    const bool written = std::fwrite(text.data(), 1, text.size(), sidecar_) == text.size() &&
                         std::fflush(sidecar_) == 0 && !std::ferror(sidecar_);
    const bool closed = std::fclose(sidecar_) == 0;
    sidecar_ = nullptr;
    if (!written || !closed) error = "writing '" + path_ + ".json' failed";
    return written && closed;
}

}  // namespace hxcli
