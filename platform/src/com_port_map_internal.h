// The COM port map's pieces shared inside the platform: the explicit entries
// and their owner records (com_port_entries.cpp), and the numbers given to
// real serial hardware (com_port_numbering.cpp). The public calls
// (com_port_map.cpp) put them together.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ext/com_port_map.h"
#include "platform/win_types.h"
#include "serial_hardware.h"

namespace platform {

constexpr DWORD kMaxAutoPort = 255;  // RegisterComPort(0) searches 1..255

// ---- Entries: symlinks COM<n> in the map directory (com_port_entries.cpp)

// "COM<n>" with n >= 1, no sign, no leading zero, fitting a DWORD.
bool ParseEntryName(const char* lpszName, DWORD* pPort);
std::string EntryPath(const std::string& dir, DWORD dwPort);
// Whether the map directory may be used: see com_port_entries.cpp.
bool DirTrusted(const std::string& dir);
// Reads the target of an explicit entry. Relative targets are taken from the
// map directory. FALSE when there is no such symlink.
bool ReadEntry(const std::string& dir, DWORD dwPort, std::string* pTarget);
bool DeviceExists(const std::string& path);
bool SameDevice(const std::string& a, const std::string& b);
// Whether path names device: the same string, or the same device or file.
bool NamesDevice(const std::string& path, const std::string& device);

// Who registered an entry: nobody known (made by hand), a live process, or
// a process that is gone (the entry is stale).
enum class EntryOwner { kNone, kAlive, kGone };
EntryOwner OwnerOf(const std::string& dir, DWORD dwPort);
// Records this process as the owner of the entry COM<n> it has just made.
// Without a record the entry is kept like one made by hand.
void RecordOwner(const std::string& dir, DWORD dwPort);
// Removes the owner record of COM<n> when it is this process's own.
void DropOwnRecord(const std::string& dir, DWORD dwPort);
// Removes entry COM<n> and its owner record (under the numbers lock).
void RemoveEntry(const std::string& dir, DWORD dwPort);

// Explicit entries by number; dangling ones included (they still hold their
// number), with an empty device when the target does not exist. Entries
// whose owner is gone are left out; with bRemoveStale (numbers lock held)
// they are removed.
std::map<DWORD, std::string> ExplicitEntries(const std::string& dir, bool bRemoveStale = false,
                                             bool* pStaleSeen = nullptr);

// mkdir -p with private permissions for the parts we create.
bool MakeDirs(const std::string& dir);

// ---- Numbers of real serial hardware (com_port_numbering.cpp)

// Serialises numbering and registration within the process (the flock of
// CNumberStore does it across processes).
extern std::mutex g_numberLock;

// The numbers given to hardware, by identity. Loaded from and saved to the
// map directory under an flock, so processes that number devices at once
// agree; where the directory cannot be used the numbers live in this process.
// Made and used with g_numberLock held.
class CNumberStore {
public:
    CNumberStore();
    ~CNumberStore();
    CNumberStore(const CNumberStore&) = delete;
    CNumberStore& operator=(const CNumberStore&) = delete;

    std::map<std::string, DWORD>& Numbers() { return m_bFile ? m_numbers : s_memory; }
    bool Taken(DWORD dwPort);
    const std::string& Dir() const { return m_dir; }
    void Save();

private:
    void Init();
    void Load();

    static std::map<std::string, DWORD> s_memory;  // guarded by g_numberLock
    std::string m_dir;
    int m_nLock = -1;
    bool m_bFile = false;
    std::map<std::string, DWORD> m_numbers;
};

// Gives numbers to the present hardware that no entry names (unnamed) and
// appends them to pOut. pStore is the store when the caller holds it; null
// lets the numbers come from the cached file, taking the store only when a
// device is new or gone. g_numberLock held.
void NumberHardware(CNumberStore* pStore, std::vector<SerialHardware>& unnamed,
                    const std::map<DWORD, std::string>& entries, std::vector<ComPortEntry>* pOut);

}  // namespace platform
