// Cordlink: a byte channel over a serial (COM) port.
//
// A host includes this header alone. It declares the channel interface, the
// record passed to Open, the property ids and error codes, the log interface
// a host may hand to InitLog (with its flags and options), and the library's
// two exports. Link with `pkg-config --libs cordlink`.
//
//   ICommChannel* pChannel = nullptr;
//   CreateChannel(&pChannel, CHANNEL_TYPE_UART);
//   pChannel->SetReceiver(WM_APP_DATA, TRUE, GetCurrentThreadId());
//   CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, 3, 115200};
//   pChannel->Open(&attr);
//   ... each message: use (BYTE*)wParam, lParam bytes; pChannel->FreeMem((void*)wParam);
//   pChannel->Close();
//   ReleaseChannel(pChannel);
#pragma once

#include "comm_channel.h"
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
