#include "port/RecordingFormat.h"

#include <cstring>
#include <map>

namespace halvex::port::recording {
namespace {

// Eight tables: the checksum takes eight bytes a step (every transfer's data passes through it).
struct CrcTable {
    uint32_t entries[8][256];
    constexpr CrcTable() : entries() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int t = 1; t < 8; ++t) entries[t][i] = (entries[t - 1][i] >> 8) ^ entries[0][entries[t - 1][i] & 0xFF];
    }
};
constexpr CrcTable kCrc;

void Put8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void Put16(std::vector<uint8_t>& out, uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutBytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    Put32(out, static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}
void PutData(std::vector<uint8_t>& out, const Record& r, LoadBytes load) {
    if (r.dataFrom == nullptr || load == nullptr) return PutBytes(out, r.data);
    Put32(out, r.dataFromSize);
    const std::size_t at = out.size();
    out.resize(at + r.dataFromSize);
    if (r.dataFromSize != 0 && !load(out.data() + at, r.dataFrom, r.dataFromSize)) {
        out.resize(at - 4);
        Put32(out, 0);
    }
}
void PutText(std::vector<uint8_t>& out, const std::u16string& text) {
    Put32(out, static_cast<uint32_t>(text.size()));
    for (char16_t c : text) Put16(out, static_cast<uint16_t>(c));
}

uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Reads one payload; every read is checked against its end. A failed read stops the cursor
// where the field began, which the error then names.
class Cursor {
public:
    Cursor(const uint8_t* begin, std::size_t size, uint64_t fileOffset)
        : p_(begin), end_(begin + size), base_(begin), fileOffset_(fileOffset) {}
    bool U8(uint8_t& v) { return Raw(&v, 1); }
    bool U16(uint16_t& v) {
        uint8_t b[2];
        if (!Raw(b, 2)) return false;
        v = static_cast<uint16_t>(b[0] | b[1] << 8);
        return true;
    }
    bool U32(uint32_t& v) {
        uint8_t b[4];
        if (!Raw(b, 4)) return false;
        v = Get32(b);
        return true;
    }
    bool U64(uint64_t& v) {
        uint32_t lo = 0, hi = 0;
        if (!U32(lo) || !U32(hi)) return false;
        v = uint64_t{hi} << 32 | lo;
        return true;
    }
    bool Bytes(std::vector<uint8_t>& v, uint32_t limit) {
        uint32_t n = 0;
        if (!U32(n)) return false;
        if (n > limit || n > Left()) return Fail(4);
        v.assign(p_, p_ + n);
        p_ += n;
        return true;
    }
    bool Text(std::u16string& v) {
        uint32_t n = 0;
        if (!U32(n)) return false;
        if (n > kMaxPathUnits || std::size_t{n} * 2 > Left()) return Fail(4);
        v.resize(n);
        for (auto& c : v) {
            uint16_t u = 0;
            U16(u);
            c = static_cast<char16_t>(u);
        }
        return true;
    }
    std::size_t Left() const { return static_cast<std::size_t>(end_ - p_); }
    uint64_t Offset() const { return fileOffset_ + static_cast<uint64_t>(p_ - base_); }

private:
    bool Raw(uint8_t* dst, std::size_t n) {
        if (Left() < n) return false;
        std::memcpy(dst, p_, n);
        p_ += n;
        return true;
    }
    bool Fail(std::size_t back) {
        p_ -= back;
        return false;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* base_;
    uint64_t fileOffset_;
};

bool ParsePayload(Cursor& in, Record& r) {
    if (!in.U64(r.timeNs)) return false;
    uint8_t flag = 0;
    switch (r.kind) {
        case Kind::Enumerate: {
            for (auto& b : r.guid)
                if (!in.U8(b)) return false;
            uint32_t count = 0;
            if (!in.U32(count) || count > kMaxPaths) return false;
            r.paths.resize(count);
            for (auto& path : r.paths)
                if (!in.Text(path)) return false;
            return true;
        }
        case Kind::Open:
            return in.U32(r.handle) && in.U32(r.error) && in.Text(r.path);
        case Kind::Call:
            if (!in.U32(r.request) || !in.U32(r.handle) || !in.U32(r.code) || !in.U32(r.outSize) || !in.U8(flag) ||
                (flag & ~3u) != 0 || !in.U32(r.inSize))
                return false;
            r.overlapped = (flag & 1) != 0;
            r.inputUnreadable = (flag & 2) != 0;
            if (!in.Bytes(r.input, kMaxPayload)) return false;
            // Readable input is kept whole; unreadable input is not kept at all.
            return r.input.size() == (r.inputUnreadable ? 0 : r.inSize);
        case Kind::Answer:
            if (!in.U32(r.request) || !in.U8(flag) || flag > 2) return false;
            r.outcome = static_cast<Outcome>(flag);
            return in.U32(r.error) && in.U32(r.bytes) && in.Bytes(r.data, kMaxPayload);
        case Kind::Complete:
            return in.U32(r.request) && in.U32(r.error) && in.U32(r.bytes) && in.Bytes(r.data, kMaxPayload);
        case Kind::Cancel:
            if (!in.U32(r.handle) || !in.U32(r.request) || !in.U8(flag) || flag > 1) return false;
            r.ok = flag != 0;
            return in.U32(r.error);
        case Kind::Close:
            if (!in.U32(r.handle) || !in.U8(flag) || flag > 1) return false;
            r.ok = flag != 0;
            return in.U32(r.error);
        case Kind::End:
            return true;
    }
    return false;
}

// What the records before say about a request, to refuse one that contradicts them.
struct RequestState {
    uint32_t outSize = 0;
    bool overlapped = false;
    bool answered = false;
    bool pending = false;
    bool completed = false;
};

}  // namespace

std::string ReadError::Text() const { return cause + " at byte " + std::to_string(offset); }

uint32_t Crc32(const uint8_t* bytes, std::size_t size, uint32_t crc) {
    crc = ~crc;
    const auto& t = kCrc.entries;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const uint32_t lo = crc ^ Get32(bytes + i);
        const uint32_t hi = Get32(bytes + i + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; i < size; ++i) crc = t[0][(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void AppendHeader(std::vector<uint8_t>& out, const Header& header) {
    const std::size_t start = out.size();
    out.insert(out.end(), kMagic, kMagic + 8);
    Put16(out, header.version);
    Put16(out, static_cast<uint16_t>(kHeaderBytes));
    Put32(out, header.dataLimit);
    Put64(out, header.wallStartNs);
    Put32(out, 0);  // reserved
    Put32(out, Crc32(out.data() + start, kHeaderBytes - 4));
}

void AppendRecord(std::vector<uint8_t>& out, const Record& r, LoadBytes load) {
    const std::size_t start = out.size();
    Put32(out, 0);  // payload size, set below
    Put8(out, static_cast<uint8_t>(r.kind));
    Put64(out, r.timeNs);
    switch (r.kind) {
        case Kind::Enumerate:
            out.insert(out.end(), r.guid.begin(), r.guid.end());
            Put32(out, static_cast<uint32_t>(r.paths.size()));
            for (const auto& path : r.paths) PutText(out, path);
            break;
        case Kind::Open:
            Put32(out, r.handle);
            Put32(out, r.error);
            PutText(out, r.path);
            break;
        case Kind::Call:
            Put32(out, r.request);
            Put32(out, r.handle);
            Put32(out, r.code);
            Put32(out, r.outSize);
            Put8(out, static_cast<uint8_t>((r.overlapped ? 1 : 0) | (r.inputUnreadable ? 2 : 0)));
            Put32(out, r.inSize);
            PutBytes(out, r.input);
            break;
        case Kind::Answer:
            Put32(out, r.request);
            Put8(out, static_cast<uint8_t>(r.outcome));
            Put32(out, r.error);
            Put32(out, r.bytes);
            PutData(out, r, load);
            break;
        case Kind::Complete:
            Put32(out, r.request);
            Put32(out, r.error);
            Put32(out, r.bytes);
            PutData(out, r, load);
            break;
        case Kind::Cancel:
            Put32(out, r.handle);
            Put32(out, r.request);
            Put8(out, r.ok ? 1 : 0);
            Put32(out, r.error);
            break;
        case Kind::Close:
            Put32(out, r.handle);
            Put8(out, r.ok ? 1 : 0);
            Put32(out, r.error);
            break;
        case Kind::End:
            break;
    }
    const auto payload = static_cast<uint32_t>(out.size() - start - 5);
    for (int i = 0; i < 4; ++i) out[start + i] = static_cast<uint8_t>(payload >> (8 * i));
    Put32(out, Crc32(out.data() + start, out.size() - start));
}

bool Parse(const uint8_t* bytes, std::size_t size, bool acceptTornTail, Recording& out, ReadError& error) {
    out = Recording{};
    const auto fail = [&](const char* cause, uint64_t offset) {
        error.cause = cause;
        error.offset = offset;
        return false;
    };
    if (size < 8 || std::memcmp(bytes, kMagic, 8) != 0) return fail("not a recording (no HXRECORD signature)", 0);
    if (size < kHeaderBytes) return fail("truncated file header", size);
    const uint16_t version = static_cast<uint16_t>(bytes[8] | bytes[9] << 8);
    if (version != kVersion) {
        return fail(("recording format version " + std::to_string(version) + ", this library reads version " +
                     std::to_string(kVersion))
                        .c_str(),
                    8);
    }
    if (Crc32(bytes, kHeaderBytes - 4) != Get32(bytes + kHeaderBytes - 4))
        return fail("damaged file header (checksum)", kHeaderBytes - 4);
    const uint16_t headerBytes = static_cast<uint16_t>(bytes[10] | bytes[11] << 8);
    if (headerBytes != kHeaderBytes) return fail("unknown file header size", 10);
    out.header.version = version;
    out.header.dataLimit = Get32(bytes + 12);
    {
        Cursor wall(bytes + 16, 8, 16);
        wall.U64(out.header.wallStartNs);
    }

    std::map<uint32_t, RequestState> requests;
    std::map<uint32_t, bool> handles;  // handle number -> still open
    uint32_t lastRequest = 0;
    std::size_t at = kHeaderBytes;
    while (at < size) {
        const uint64_t offset = at;
        if (size - at < kFrameBytes) {
            if (acceptTornTail) {
                out.tornTail = true;
                break;
            }
            return fail("truncated record", offset);
        }
        const uint32_t payload = Get32(bytes + at);
        if (payload > kMaxPayload) return fail("record size out of range", offset);
        if (size - at - kFrameBytes < payload) {
            if (acceptTornTail) {
                out.tornTail = true;
                break;
            }
            return fail("truncated record", offset);
        }
        const std::size_t checked = 5 + std::size_t{payload};
        if (Crc32(bytes + at, checked) != Get32(bytes + at + checked))
            return fail("damaged record (checksum)", offset);
        if (out.ended) return fail("record after the end record", offset);
        const uint8_t kind = bytes[at + 4];
        if (kind < static_cast<uint8_t>(Kind::Enumerate) || kind > static_cast<uint8_t>(Kind::End))
            return fail("unknown record kind", offset + 4);

        Record r;
        r.kind = static_cast<Kind>(kind);
        r.offset = offset;
        Cursor in(bytes + at + 5, payload, offset + 5);
        if (!ParsePayload(in, r)) return fail("malformed record field", in.Offset());
        if (in.Left() != 0) return fail("unexpected bytes inside a record", in.Offset());

        // Consistency with what came before: the replay relies on it.
        switch (r.kind) {
            case Kind::Open:
                if (r.handle != 0) {
                    if (handles.count(r.handle) != 0) return fail("handle number used twice", offset);
                    handles[r.handle] = true;
                }
                break;
            case Kind::Call: {
                if (r.request <= lastRequest) return fail("request numbers out of order", offset);
                const auto h = handles.find(r.handle);
                if (h == handles.end()) return fail("request on a handle never opened", offset);
                lastRequest = r.request;
                requests[r.request] = RequestState{r.outSize, r.overlapped};
                break;
            }
            case Kind::Answer: {
                const auto q = requests.find(r.request);
                if (q == requests.end() || q->second.answered) return fail("answer to no request", offset);
                if (r.outcome == Outcome::Pending && !q->second.overlapped)
                    return fail("a request without OVERLAPPED left pending", offset);
                if (r.data.size() > q->second.outSize) return fail("answer larger than its output buffer", offset);
                q->second.answered = true;
                q->second.pending = r.outcome == Outcome::Pending;
                break;
            }
            case Kind::Complete: {
                const auto q = requests.find(r.request);
                if (q == requests.end() || !q->second.overlapped || q->second.completed)
                    return fail("completion of no overlapped request", offset);
                if (r.data.size() > q->second.outSize) return fail("completion larger than its output buffer", offset);
                q->second.completed = true;
                break;
            }
            case Kind::Cancel:
            case Kind::Close:
                if (handles.find(r.handle) == handles.end()) return fail("handle never opened", offset);
                break;
            case Kind::End:
                out.ended = true;
                break;
            case Kind::Enumerate:
                break;
        }
        out.records.push_back(std::move(r));
        at += kFrameBytes + payload;
    }
    return true;
}

}  // namespace halvex::port::recording
