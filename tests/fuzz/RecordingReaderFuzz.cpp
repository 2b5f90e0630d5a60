// Coverage-guided fuzzing of the recording reader: any bytes, with and without a torn tail
// accepted, must be refused or read without a read outside them; what it reads must write back
// to the very bytes it came from (the reader takes nothing the writer would not produce).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "port/RecordingFormat.h"

namespace rec = halvex::port::recording;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    for (const bool acceptTornTail : {false, true}) {
        rec::Recording recording;
        rec::ReadError error;
        if (!rec::Parse(data, size, acceptTornTail, recording, error)) continue;
        std::vector<uint8_t> again;
        rec::AppendHeader(again, recording.header);
        for (const auto& record : recording.records) {
            if (record.offset != again.size()) std::abort();
            rec::AppendRecord(again, record);
        }
        if (again.size() > size || std::memcmp(again.data(), data, again.size()) != 0) std::abort();
        if (!recording.tornTail && again.size() != size) std::abort();
    }
    return 0;
}
