// CUsbClaims: the USB ports that the mode entries of this process are
// probing or have taken. Every session's USB entry watches the same COM port
// map, so a port that appears must go to one entry only: an entry claims a
// port before it opens it, gives the claim back when the port was not its
// handset (or the entry was stopped), and keeps it once the handset entered
// the mode, so that no other session probes, enters or writes that handset
// while it stays connected. A claim ends when its port is seen gone from the
// map; a handset that comes back is new again.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/win_types.h"

// Not copyable. Every method is thread-safe and holds the lock only for its
// bookkeeping, never across I/O.
class CUsbClaims {
public:
    // (COM number, device): one device, as in the COM port map.
    using Port = std::pair<DWORD, std::string>;
    using PortSet = std::set<Port>;

    // The process's registry. Never destroyed: an entry's thread may outlive
    // its session and run on while the host exits.
    static CUsbClaims& Instance();

    CUsbClaims() = default;
    CUsbClaims(const CUsbClaims&) = delete;
    CUsbClaims& operator=(const CUsbClaims&) = delete;

    // Taken just before a look at the map: ForgetGone with that look's ports
    // then drops only claims made before it, never one made while the map
    // was being read.
    uint64_t Mark();
    // Claims port. Its claim number (never 0), or 0 when another entry holds
    // the port.
    uint64_t TryClaim(const Port& port);
    // Gives a claim back; ignored unless port is still held under qwClaim
    // (it may have been forgotten and claimed afresh meanwhile).
    void Release(const Port& port, uint64_t qwClaim);
    // Drops the claims made before qwMark on ports that are not in present.
    void ForgetGone(const PortSet& present, uint64_t qwMark);

private:
    std::mutex m_lock;
    uint64_t m_qwLast = 0;              // guarded by m_lock
    std::map<Port, uint64_t> m_claims;  // port -> claim number, guarded by m_lock
};
