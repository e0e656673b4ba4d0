// Frame codec: builds frames and recovers them from a byte stream that may
// carry garbage, cut frames or damaged CRCs.
#pragma once

#include <cstddef>
#include <vector>

#include "protocol.h"

// One decoded frame.
struct CbFrame {
    BYTE bCommand = 0;
    WORD wSequence = 0;
    std::vector<BYTE> payload;
};

// CRC-16/CCITT (poly 0x1021, init 0xFFFF) of cb bytes. Pure; thread-safe.
WORD CbCrc16(const BYTE* pData, size_t cb);

// Appends one complete frame to *pOut. FALSE (and nothing appended) when the
// payload is longer than CB_FRAME_MAX_PAYLOAD. Thread-safe.
BOOL CbEncodeFrame(BYTE bCommand, WORD wSequence, const BYTE* pPayload, size_t cbPayload,
                   std::vector<BYTE>* pOut);

// Reassembles frames from received bytes. Not copyable; one thread at a time.
//
// Resynchronisation: the next frame is the complete frame with a good CRC
// that ends first in the bytes received (of two that end together, the one
// that starts first), wherever it starts. Bytes before it are dropped, so a
// false marker, with a large length or a damaged frame, never holds back the
// real frame behind it. Because every frame that ends within the bytes held
// is already complete, the frames found do not depend on how the stream was
// cut into reads. A marker still waiting for the rest of its frame, and
// everything after it, is kept.
class CFrameDecoder {
public:
    CFrameDecoder() = default;
    CFrameDecoder(const CFrameDecoder&) = delete;
    CFrameDecoder& operator=(const CFrameDecoder&) = delete;

    // Adds received bytes.
    void Feed(const BYTE* pData, size_t cb);
    // Stores the next complete frame with a good CRC in *pFrame and returns
    // TRUE; FALSE when no complete frame is waiting (the bytes that may still
    // begin one are kept).
    BOOL Next(CbFrame* pFrame);
    // Forgets every byte held.
    void Reset();
    // Bytes thrown away as garbage since construction.
    size_t DroppedBytes() const { return m_cbDropped; }
    // Bytes held waiting for the rest of a frame.
    size_t PendingBytes() const { return m_buffer.size(); }

private:
    // Result of looking at a start marker at a given offset.
    enum class Candidate { kComplete, kIncomplete, kInvalid };
    Candidate Inspect(size_t nAt, size_t* pcbFrame) const;
    size_t FindMarker(size_t nFrom) const;
    void Drop(size_t cb);
    void Extract(size_t cbFrame, CbFrame* pFrame);

    std::vector<BYTE> m_buffer;
    size_t m_cbDropped = 0;
};
