// The wire protocol between the library and a handset, shared by the
// library and the handset simulator. PROTOCOL.md describes it in full.
//
//   A5 5A | length (2, LE) | command (1) | sequence (2, LE) | payload | CRC (2, LE)
//
// length counts the payload only; the CRC (CRC-16/CCITT: polynomial 0x1021,
// initial value 0xFFFF, no reflection, no final XOR) covers length through
// payload. A reply carries the request's command with bit 7 set and the
// request's sequence number; its payload starts with a 16-bit status.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

#define CB_FRAME_MARKER0 0xA5
#define CB_FRAME_MARKER1 0x5A
#define CB_FRAME_HEADER_SIZE 7u
#define CB_FRAME_CRC_SIZE 2u
#define CB_FRAME_MAX_PAYLOAD 512u
#define CB_FRAME_MAX_SIZE (CB_FRAME_HEADER_SIZE + CB_FRAME_MAX_PAYLOAD + CB_FRAME_CRC_SIZE)

// Commands (requests from the library). A reply is command | CB_CMD_REPLY.
#define CB_CMD_HELLO 0x01            // presence probe; reply: status, mode, handset id
#define CB_CMD_ENTER_MODE 0x02       // payload: mode number (4, LE); reply: status
#define CB_CMD_NV_WRITE_DIRECT 0x03  // payload: the 156-byte record; reply: status
#define CB_CMD_NV_WRITE_FAST 0x04    // payload: the 156-byte record; reply: status
#define CB_CMD_NV_READ 0x05          // payload: item id (2, LE); reply: status, text (16)
#define CB_CMD_END_TEST 0x06         // reply: status
#define CB_CMD_REPLY 0x80

// Payload sizes.
#define CB_STATUS_SIZE 2u
#define CB_HANDSET_ID_SIZE 16u
#define CB_HELLO_REPLY_SIZE (CB_STATUS_SIZE + 1u + CB_HANDSET_ID_SIZE)
#define CB_MODE_REQUEST_SIZE 4u
#define CB_RECORD_SIZE 156u
#define CB_READ_REQUEST_SIZE 2u
#define CB_ITEM_TEXT_SIZE 16u
#define CB_READ_REPLY_SIZE (CB_STATUS_SIZE + CB_ITEM_TEXT_SIZE)

// The mode in which a handset takes NV writes.
#define CB_MODE_NV_WRITE 10u

// Little-endian field access for frames and records.
inline WORD CbGetLe16(const BYTE* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}
inline DWORD CbGetLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}
inline void CbPutLe16(BYTE* p, WORD w) {
    p[0] = static_cast<BYTE>(w & 0xFF);
    p[1] = static_cast<BYTE>(w >> 8);
}
inline void CbPutLe32(BYTE* p, DWORD dw) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>((dw >> (8 * i)) & 0xFF);
}
