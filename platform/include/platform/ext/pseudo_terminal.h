// Pseudo-terminal pairs for the handset simulator, the tests and the
// benchmarks: the peer holds the master side, and the slave side is a real
// tty that can be registered in the COM port map and opened as "\\.\COMn".
#pragma once

#include <string>

#include "platform/win_types.h"

namespace platform {

// Owns one pseudo-terminal pair. Not copyable. Methods are safe to call from
// one thread at a time, except that Read and Write may run on two threads.
class PLATFORM_API PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair with the slave in raw mode (no echo, no line editing,
    // 8-bit clean), so bytes pass unchanged before anyone opens the slave.
    // When dwPort is not 0xFFFFFFFF the slave is registered as COM<dwPort>
    // (0 = the lowest free number). FALSE with the last error on failure.
    BOOL Open(DWORD dwPort = 0xFFFFFFFFu);
    // Unregisters the COM entry (if it still names this slave) and closes
    // both sides: the slave's opener sees the device vanish.
    void Close();
    bool IsOpen() const { return m_nMaster >= 0; }
    // While held, the slave cannot be opened as a COM port (the open fails
    // with ERROR_ACCESS_DENIED), as a USB port that the kernel announced
    // before its driver is ready. TRUE on success.
    BOOL HoldExclusive(bool bHold);

    // Writes all bytes to the master side (they arrive at the slave's
    // reader). Returns the count written; less than cb only on error or
    // after dwTimeoutMs.
    DWORD Write(const void* lpData, DWORD cb, DWORD dwTimeoutMs = 5000);
    // Reads what the slave's writer sent: waits up to dwTimeoutMs for the
    // first byte, then returns what is there (at most cb). 0 on time-out.
    DWORD Read(void* lpData, DWORD cb, DWORD dwTimeoutMs);

    const std::string& SlavePath() const { return m_slavePath; }
    DWORD Port() const { return m_dwPort; }
    // The master's descriptor (non-blocking), readable when slave-side bytes
    // are waiting.
    int MasterFd() const { return m_nMaster; }

private:
    int m_nMaster = -1;
    int m_nSlaveKeepAlive = -1;
    std::string m_slavePath;
    DWORD m_dwPort = 0;
};

}  // namespace platform
