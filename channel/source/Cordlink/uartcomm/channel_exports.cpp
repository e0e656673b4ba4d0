// The library's two exports: hosts obtain and release channels here, so the
// objects are always created and destroyed by the library's own allocator.
#include <new>

#include "cordlink/cordlink.h"
#include "uart_comm.h"

extern "C" CORDLINK_API BOOL CreateChannel(ICommChannel** ppChannel, DWORD dwChannelType) {
    if (ppChannel == nullptr || dwChannelType != CHANNEL_TYPE_UART)
        return FALSE;
    ICommChannel* pChannel = new (std::nothrow) CUartComm;
    *ppChannel = pChannel;
    return pChannel != nullptr ? TRUE : FALSE;
}

extern "C" CORDLINK_API void ReleaseChannel(ICommChannel* pChannel) {
    delete pChannel;
}
