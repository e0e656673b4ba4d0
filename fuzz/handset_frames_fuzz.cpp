// The handset's side of the protocol: the simulator decodes the station's
// requests (and whatever else reaches its pseudo-terminal) into frames. The
// input's first byte chooses the chunking, the rest is the stream. See
// frame_stream_check.h for the checks.
#include "frame_stream_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    if (cb == 0)
        return 0;
    fuzz::CheckStream(pData + 1, cb - 1, pData[0]);
    return 0;
}
