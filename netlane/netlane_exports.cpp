// The library's one export.
#include <new>

#include "socket_channel.h"

extern "C" NETLANE_API ISocketChannel* InitDll() {
    CSocketChannel* pChannel = new (std::nothrow) CSocketChannel;
    if (pChannel == nullptr)
        return nullptr;
    if (!pChannel->Valid()) {
        delete pChannel;
        return nullptr;
    }
    return pChannel;
}
