// A host program built outside the repository against the installed library:
// a server channel and a client channel on loopback, both pumped by this
// thread, exchange bytes both ways.
#include <netlane/netlane.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const DWORD dwPort = static_cast<DWORD>(std::atoi(argv[1]));
    const UINT kMsgServer = WM_USER + 10;
    const UINT kMsgClient = WM_USER + 20;

    ISocketChannel* pServer = InitDll();
    ISocketChannel* pClient = InitDll();
    if (pServer == nullptr || pClient == nullptr)
        return 1;
    pServer->SetReceiver(kMsgServer, TRUE, GetCurrentThreadId());
    pClient->SetReceiver(kMsgClient, TRUE, GetCurrentThreadId());
    SOCKET_ATTRIBUTE server = {dwPort, 0, FALSE};
    SOCKET_ATTRIBUTE client = {dwPort, inet_addr("127.0.0.1"), TRUE};
    if (pServer->Open(&server) != 0 || pClient->Open(&client) != 0) {
        std::printf("FAIL: Open on port %u\n", dwPort);
        return 1;
    }

    std::string atServer, atClient;
    bool bSentReply = false;
    pClient->Write("hello", 5);
    DWORD dwStart = GetTickCount();
    MSG msg;
    while (atClient.size() < 5 && GetTickCount() - dwStart < 5000) {
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        if (msg.message == kMsgServer && msg.lParam > 0)
            atServer.append(reinterpret_cast<const char*>(msg.wParam), msg.lParam);
        else if (msg.message == kMsgClient && msg.lParam > 0)
            atClient.append(reinterpret_cast<const char*>(msg.wParam), msg.lParam);
        else
            DispatchMessageW(&msg);
        if (atServer == "hello" && !bSentReply)
            bSentReply = pServer->Write("world", 5) == 5;
    }
    pClient->Close();
    pServer->Close();
    pClient->Release();
    pServer->Release();
    if (atServer != "hello" || atClient != "world") {
        std::printf("FAIL: server got '%s', client got '%s'\n", atServer.c_str(), atClient.c_str());
        return 1;
    }
    std::printf("OK: hello and world over port %u\n", dwPort);
    return 0;
}
