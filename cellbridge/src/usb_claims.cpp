// The process-wide register of claimed USB ports.
#include "usb_claims.h"

CUsbClaims& CUsbClaims::Instance() {
    static CUsbClaims* s_pClaims = new CUsbClaims;
    return *s_pClaims;
}

uint64_t CUsbClaims::Mark() {
    std::lock_guard<std::mutex> lock(m_lock);
    return ++m_qwLast;
}

uint64_t CUsbClaims::TryClaim(const Port& port) {
    std::lock_guard<std::mutex> lock(m_lock);
    const uint64_t qwClaim = ++m_qwLast;
    return m_claims.emplace(port, qwClaim).second ? qwClaim : 0;
}

void CUsbClaims::Release(const Port& port, uint64_t qwClaim) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_claims.find(port);
    if (it != m_claims.end() && it->second == qwClaim)
        m_claims.erase(it);
}

void CUsbClaims::ForgetGone(const PortSet& present, uint64_t qwMark) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_claims.begin(); it != m_claims.end();) {
        it = it->second < qwMark && present.count(it->first) == 0 ? m_claims.erase(it)
                                                                  : std::next(it);
    }
}
