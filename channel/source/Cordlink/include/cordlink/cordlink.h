// Cordlink: a byte channel over a serial (COM) port.
//
// A host includes this header alone. It declares the channel interface, the
// record passed to Open, the property ids and error codes, the log interface
// a host may hand to InitLog (with its flags and options), the library's two
// exports, and the platform calls a host needs beside them (its thread's
// message queue and id). Build with `pkg-config --cflags --libs cordlink`.
//
// Example (an echo host on COM3; compiles as shown):
//   ICommChannel* pChannel = nullptr;
//   if (!CreateChannel(&pChannel, CHANNEL_TYPE_UART))
//       return 1;
//   const UINT uMsgData = WM_USER + 1;
//   pChannel->SetReceiver(uMsgData, TRUE, GetCurrentThreadId());
//   CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, 3, 115200};
//   if (pChannel->Open(&attr)) {
//       MSG msg;
//       while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
//           if (msg.message != uMsgData)
//               continue;
//           // wParam: the received bytes, lParam: their count.
//           pChannel->Write(reinterpret_cast<LPCVOID>(msg.wParam),
//                           static_cast<DWORD>(msg.lParam), 0);
//           pChannel->FreeMem(reinterpret_cast<LPVOID>(msg.wParam));
//           break;
//       }
//       pChannel->Close();
//   }
//   ReleaseChannel(pChannel);
#pragma once

#include "comm_channel.h"
#include "platform/win_message.h"
#include "platform/win_sync.h"
#include "platform/win_types.h"
#include "vx_log_interface.h"

#define CORDLINK_API __attribute__((visibility("default")))

extern "C" {
// Creates a channel of the given type (only CHANNEL_TYPE_UART). TRUE and the
// object stored through ppChannel on success; FALSE and null stored when
// memory ran out; FALSE with *ppChannel untouched for any other type.
CORDLINK_API BOOL CreateChannel(ICommChannel** ppChannel, DWORD dwChannelType);
// Destroys a channel made by CreateChannel (closing its port, stopping its
// receive thread, releasing its log). Null is ignored.
CORDLINK_API void ReleaseChannel(ICommChannel* pChannel);
}
