// The process-wide handle table and CloseHandle.
#include <deque>
#include <mutex>
#include <vector>

#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_error.h"
#include "platform/win_handle.h"

namespace platform {
namespace {

// A value is ((generation & 0x3FF) << 22) | ((index + 1) << 2): a multiple
// of 4 below 2^32 that is never 0 nor INVALID_HANDLE_VALUE.
constexpr uint32_t kMaxSlots = (1u << 20) - 1;
constexpr size_t kReuseAfter = 1024;

struct Slot {
    std::shared_ptr<KernelObject> object;
    uint32_t generation = 0;
};

std::mutex g_tableLock;
std::vector<Slot> g_slots;
// Freed slots are reused oldest first, and only once kReuseAfter of them
// wait: a slot then comes back at most once per kReuseAfter closes, so its
// 10-bit generation wraps only after about a million closes and a stale value
// practically never reaches a newer object.
std::deque<uint32_t> g_freeSlots;

bool Decode(HANDLE h, uint32_t* pIndex, uint32_t* pGeneration) {
    uintptr_t value = reinterpret_cast<uintptr_t>(h);
    if (value == 0 || value > 0xFFFFFFFFu || (value & 3) != 0)
        return false;
    uint32_t index = static_cast<uint32_t>((value >> 2) & 0xFFFFF);
    if (index == 0)
        return false;
    *pIndex = index - 1;
    *pGeneration = static_cast<uint32_t>(value >> 22);
    return true;
}

}  // namespace

HANDLE InsertObject(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    uint32_t index;
    if (g_freeSlots.size() >= kReuseAfter ||
        (!g_freeSlots.empty() && g_slots.size() >= kMaxSlots)) {
        index = g_freeSlots.front();
        g_freeSlots.pop_front();
    } else {
        if (g_slots.size() >= kMaxSlots) {
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
        index = static_cast<uint32_t>(g_slots.size());
        g_slots.emplace_back();
    }
    Slot& slot = g_slots[index];
    slot.object = std::move(object);
    uintptr_t value = (static_cast<uintptr_t>(slot.generation & 0x3FF) << 22) |
                      (static_cast<uintptr_t>(index + 1) << 2);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupObject(HANDLE h) {
    uint32_t index, generation;
    if (!Decode(h, &index, &generation))
        return nullptr;
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (index >= g_slots.size())
        return nullptr;
    Slot& slot = g_slots[index];
    if ((slot.generation & 0x3FF) != generation)
        return nullptr;
    return slot.object;
}

std::shared_ptr<KernelObject> RemoveObject(HANDLE h) {
    uint32_t index, generation;
    if (!Decode(h, &index, &generation))
        return nullptr;
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (index >= g_slots.size())
        return nullptr;
    Slot& slot = g_slots[index];
    if ((slot.generation & 0x3FF) != generation || !slot.object)
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(slot.object);
    slot.object.reset();
    ++slot.generation;
    g_freeSlots.push_back(index);
    return object;
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    // Every slot is either in use or waiting in the free list.
    return g_slots.size() - g_freeSlots.size();
}

BOOL KernelObject::Read(LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::Write(LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::Flush() {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // namespace platform

extern "C" BOOL CloseHandle(HANDLE hObject) {
    if (platform::FaultHit("CloseHandle"))
        return FALSE;
    std::shared_ptr<platform::KernelObject> object = platform::RemoveObject(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnClose();
    return TRUE;
}
