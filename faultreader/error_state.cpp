// The two process-wide error slots and the four functions that set, read and
// clear them.
#include <atomic>
#include <mutex>

#include "faultreader/faultreader.h"

namespace {

// Slot 0 takes the system's words, slot 1 those of modules 1 to 4. The
// getters read without the lock, so the words are atomics: a reader on
// another thread sees either the old or the new word, never a torn one.
std::atomic<DWORD> g_dwSlots[2] = {0, 0};

// One lock for the stores, created with the library and never destroyed, so
// that a module reporting from a static destructor still finds it.
std::mutex& StoreLock() {
    static std::mutex* s_pLock = new std::mutex;
    return *s_pLock;
}

// Created while the library loads, before any thread of the host can race
// for the function-local static above.
[[maybe_unused]] std::mutex& g_lockAtLoad = StoreLock();

std::atomic<DWORD>& SlotOf(E_ERR_TYPE eSlot) {
    return g_dwSlots[eSlot == 0 ? 0 : 1];
}

}  // namespace

extern "C" FAULTREADER_API DWORD Spec_SetErrorCode(E_MODULE_TYPE eModule, DWORD dwInterface,
                                                   DWORD dwError, BOOL bContinue) {
    const DWORD dwModule = static_cast<DWORD>(eModule);
    // The routing looks at the whole argument; the word keeps its low 6 bits.
    std::atomic<DWORD>& slot = g_dwSlots[dwModule >= 1 && dwModule <= 4 ? 1 : 0];
    const DWORD dwWord = (dwModule << 26) | ((dwInterface & 0x7FFFu) << 11) |
                         ((static_cast<DWORD>(bContinue) & 1u) << 10) | (dwError & 0x3FFu);
    std::lock_guard<std::mutex> lock(StoreLock());
    slot.store(dwWord, std::memory_order_release);
    return dwWord;
}

extern "C" FAULTREADER_API DWORD Spec_GetErrorCode(E_ERR_TYPE eSlot) {
    return SlotOf(eSlot).load(std::memory_order_acquire);
}

extern "C" FAULTREADER_API DWORD Spec_GetError(E_ERR_TYPE eSlot) {
    return SlotOf(eSlot).load(std::memory_order_acquire) & 0x3FFu;
}

extern "C" FAULTREADER_API void Spec_ClearErrorCode(E_ERR_TYPE eSlot) {
    std::lock_guard<std::mutex> lock(StoreLock());
    SlotOf(eSlot).store(0, std::memory_order_release);
}
