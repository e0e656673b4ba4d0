// The checks shared by the frame-decoder targets: a byte stream is decoded
// whole, one byte at a time, and in chunks whose sizes the input chooses; the
// frames must come out the same every way, each must be a frame that really
// is in the stream, and every byte must be accounted for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frame_codec.h"

namespace fuzz {

struct Decoded {
    std::vector<CbFrame> frames;
    size_t cbDropped = 0;
    size_t cbPending = 0;
};

inline bool SameFrames(const std::vector<CbFrame>& a, const std::vector<CbFrame>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].bCommand != b[i].bCommand || a[i].wSequence != b[i].wSequence ||
            a[i].payload != b[i].payload)
            return false;
    }
    return true;
}

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "frame decoder: %s\n", what);
    std::abort();
}

// Feeds the stream in chunks of the sizes that pfnChunk gives, taking every
// frame after each chunk, as the receive loops of the library and the
// simulator do.
template <class ChunkFn>
Decoded Decode(const BYTE* pData, size_t cb, ChunkFn chunk) {
    Decoded out;
    CFrameDecoder decoder;
    size_t nAt = 0;
    while (nAt < cb) {
        size_t n = std::min(chunk(), cb - nAt);
        decoder.Feed(pData + nAt, n);
        nAt += n;
        CbFrame frame;
        while (decoder.Next(&frame)) {
            if (frame.payload.size() > CB_FRAME_MAX_PAYLOAD)
                Fail("payload longer than a frame can carry");
            out.frames.push_back(frame);
        }
    }
    out.cbDropped = decoder.DroppedBytes();
    out.cbPending = decoder.PendingBytes();
    return out;
}

// Runs every check on one stream. bSplitSeed chooses the chunk sizes.
inline void CheckStream(const BYTE* pData, size_t cb, uint8_t bSplitSeed) {
    const Decoded whole = Decode(pData, cb, [cb] { return cb; });
    const Decoded bytewise = Decode(pData, cb, [] { return size_t{1}; });
    uint32_t state = 0x9E3779B9u ^ bSplitSeed;
    const Decoded chunked = Decode(pData, cb, [&state] {
        state = state * 1664525u + 1013904223u;
        return size_t{1} + (state >> 24) % 300;  // 1 to 300 bytes, like a serial read
    });

    // Every frame decoded is one that is in the stream, in order.
    size_t cbFrames = 0;
    auto searchFrom = pData;
    for (const CbFrame& frame : whole.frames) {
        std::vector<BYTE> encoded;
        if (!CbEncodeFrame(frame.bCommand, frame.wSequence, frame.payload.data(),
                           frame.payload.size(), &encoded))
            Fail("a decoded frame cannot be encoded again");
        auto found = std::search(searchFrom, pData + cb, encoded.begin(), encoded.end());
        if (found == pData + cb)
            Fail("a decoded frame is not in the stream (or out of order)");
        searchFrom = found + encoded.size();
        cbFrames += encoded.size();
    }
    // Every byte is in a frame, dropped or still held.
    if (cbFrames + whole.cbDropped + whole.cbPending != cb)
        Fail("bytes lost or counted twice");

    if (!SameFrames(whole.frames, bytewise.frames))
        Fail("frames differ when the stream arrives one byte at a time");
    if (!SameFrames(whole.frames, chunked.frames))
        Fail("frames differ when the stream arrives in chunks");
    if (whole.cbPending != bytewise.cbPending || whole.cbPending != chunked.cbPending)
        Fail("bytes held at the end differ with the way the stream arrived");
}

}  // namespace fuzz
