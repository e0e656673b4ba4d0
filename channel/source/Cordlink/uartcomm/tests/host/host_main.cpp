// A host program built outside the repository against the installed
// library: it receives every byte a peer sends over a pseudo-terminal mapped
// as a COM port, as posted messages, and returns every buffer.
#include <cordlink/cordlink.h>
#include <platform/ext/pseudo_terminal.h>
#include <platform/windows.h>

#include <cstdio>
#include <string>
#include <thread>

int main() {
    const UINT kMsgData = WM_USER + 10;
    platform::PseudoTerminal pty;
    if (!pty.Open(0)) {
        std::printf("FAIL: no pseudo-terminal (error %u)\n", GetLastError());
        return 1;
    }
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);

    ICommChannel* pChannel = nullptr;
    if (!CreateChannel(&pChannel, CHANNEL_TYPE_UART)) return 1;
    pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId());
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, pty.Port(), 115200};
    if (!pChannel->Open(&attr)) {
        std::printf("FAIL: Open COM%u\n", pty.Port());
        return 1;
    }

    std::string sent(200000, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
    std::thread peer([&] { pty.Write(sent.data(), static_cast<DWORD>(sent.size()), 10000); });

    std::string got;
    DWORD dwStart = GetTickCount();
    unsigned nMessages = 0;
    while (got.size() < sent.size() && GetTickCount() - dwStart < 20000) {
        if (!PeekMessageW(&msg, nullptr, kMsgData, kMsgData, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        got.append(reinterpret_cast<const char*>(msg.wParam), static_cast<size_t>(msg.lParam));
        pChannel->FreeMem(reinterpret_cast<void*>(msg.wParam));
        ++nMessages;
    }
    peer.join();
    pChannel->Close();
    ReleaseChannel(pChannel);
    if (got != sent) {
        std::printf("FAIL: received %zu of %zu bytes\n", got.size(), sent.size());
        return 1;
    }
    std::printf("OK: %zu bytes in %u messages from COM%u\n", got.size(), nMessages, pty.Port());
    return 0;
}
