// Frame building, CRC and the resynchronising decoder.
#include "frame_codec.h"

WORD CbCrc16(const BYTE* pData, size_t cb) {
    WORD wCrc = 0xFFFF;
    for (size_t i = 0; i < cb; ++i) {
        wCrc = static_cast<WORD>(wCrc ^ (static_cast<WORD>(pData[i]) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            wCrc = (wCrc & 0x8000) ? static_cast<WORD>((wCrc << 1) ^ 0x1021)
                                   : static_cast<WORD>(wCrc << 1);
        }
    }
    return wCrc;
}

BOOL CbEncodeFrame(BYTE bCommand, WORD wSequence, const BYTE* pPayload, size_t cbPayload,
                   std::vector<BYTE>* pOut) {
    if (pOut == nullptr || cbPayload > CB_FRAME_MAX_PAYLOAD)
        return FALSE;
    if (cbPayload > 0 && pPayload == nullptr)
        return FALSE;
    const size_t nStart = pOut->size();
    pOut->resize(nStart + CB_FRAME_HEADER_SIZE + cbPayload + CB_FRAME_CRC_SIZE);
    BYTE* p = pOut->data() + nStart;
    p[0] = CB_FRAME_MARKER0;
    p[1] = CB_FRAME_MARKER1;
    CbPutLe16(p + 2, static_cast<WORD>(cbPayload));
    p[4] = bCommand;
    CbPutLe16(p + 5, wSequence);
    for (size_t i = 0; i < cbPayload; ++i)
        p[CB_FRAME_HEADER_SIZE + i] = pPayload[i];
    const WORD wCrc = CbCrc16(p + 2, CB_FRAME_HEADER_SIZE - 2 + cbPayload);
    CbPutLe16(p + CB_FRAME_HEADER_SIZE + cbPayload, wCrc);
    return TRUE;
}

void CFrameDecoder::Feed(const BYTE* pData, size_t cb) {
    if (pData == nullptr || cb == 0)
        return;
    m_buffer.insert(m_buffer.end(), pData, pData + cb);
}

void CFrameDecoder::Reset() {
    m_buffer.clear();
}

size_t CFrameDecoder::FindMarker(size_t nFrom) const {
    for (size_t i = nFrom; i + 1 < m_buffer.size(); ++i) {
        if (m_buffer[i] == CB_FRAME_MARKER0 && m_buffer[i + 1] == CB_FRAME_MARKER1)
            return i;
    }
    return m_buffer.size();
}

CFrameDecoder::Candidate CFrameDecoder::Inspect(size_t nAt, size_t* pcbFrame) const {
    const size_t cbHave = m_buffer.size() - nAt;
    if (cbHave < 4)
        return Candidate::kIncomplete;
    const WORD wLength = CbGetLe16(&m_buffer[nAt + 2]);
    if (wLength > CB_FRAME_MAX_PAYLOAD)
        return Candidate::kInvalid;
    const size_t cbFrame = CB_FRAME_HEADER_SIZE + wLength + CB_FRAME_CRC_SIZE;
    if (cbHave < cbFrame)
        return Candidate::kIncomplete;
    const WORD wCrc = CbCrc16(&m_buffer[nAt + 2], CB_FRAME_HEADER_SIZE - 2 + wLength);
    if (wCrc != CbGetLe16(&m_buffer[nAt + CB_FRAME_HEADER_SIZE + wLength])) {
        return Candidate::kInvalid;
    }
    *pcbFrame = cbFrame;
    return Candidate::kComplete;
}

void CFrameDecoder::Drop(size_t cb) {
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(cb));
    m_cbDropped += cb;
}

void CFrameDecoder::Extract(size_t cbFrame, CbFrame* pFrame) {
    pFrame->bCommand = m_buffer[4];
    pFrame->wSequence = CbGetLe16(&m_buffer[5]);
    pFrame->payload.assign(
        m_buffer.begin() + CB_FRAME_HEADER_SIZE,
        m_buffer.begin() + static_cast<std::ptrdiff_t>(cbFrame) - CB_FRAME_CRC_SIZE);
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(cbFrame));
}

BOOL CFrameDecoder::Next(CbFrame* pFrame) {
    if (pFrame == nullptr)
        return FALSE;
    // Of the complete frames with a good CRC, the one that ends first wins
    // (of two ending together, the one that starts first). Every frame that
    // ends within the bytes held is already complete, so the choice does not
    // depend on how the stream was cut into reads.
    size_t nBest = m_buffer.size();
    size_t cbBest = 0;
    size_t nFirstWaiting = m_buffer.size();
    for (size_t nAt = FindMarker(0); nAt < m_buffer.size() && nAt < nBest + cbBest;
         nAt = FindMarker(nAt + 1)) {
        size_t cbFrame = 0;
        switch (Inspect(nAt, &cbFrame)) {
            case Candidate::kComplete:
                if (nBest == m_buffer.size() || nAt + cbFrame < nBest + cbBest) {
                    nBest = nAt;
                    cbBest = cbFrame;
                }
                break;
            case Candidate::kIncomplete:
                if (nFirstWaiting == m_buffer.size())
                    nFirstWaiting = nAt;
                break;
            case Candidate::kInvalid:
                break;
        }
    }
    if (nBest < m_buffer.size()) {
        Drop(nBest);
        Extract(cbBest, pFrame);
        return TRUE;
    }
    // No frame yet. Bytes before the first marker still waiting for the
    // rest of its frame can never begin one; without such a marker, a last
    // byte may be the first half of a marker still arriving.
    if (nFirstWaiting == m_buffer.size() && !m_buffer.empty() &&
        m_buffer.back() == CB_FRAME_MARKER0)
        nFirstWaiting = m_buffer.size() - 1;
    Drop(nFirstWaiting);
    return FALSE;
}
