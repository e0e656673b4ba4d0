// CHandsetSim: a stream of simulated handsets behind one pseudo-terminal
// registered as a COM port, answering the library's protocol. Usable
// in-process (tests) and from the handset-sim program.
//
// Serial: one port for the whole run. Each handset powers up dwPowerUpMs
// after the first frame that reaches it, then answers; the end-of-test
// command finishes it and the next handset waits for the station to ask.
// USB: each handset's port appears dwPowerUpMs after the simulator started
// or the previous handset was unplugged, and disappears shortly after the
// end-of-test command.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_codec.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/win_types.h"

struct HandsetSimOptions {
    DWORD dwPort = 0;            // COM number to register; 0 = the lowest free one
    bool bUnregistered = false;  // serial: no map entry (a test exposes the tty itself)
    bool bUsb = false;           // a port per handset, present only while it is on
    DWORD dwPowerUpMs = 1500;    // see the class comment
    bool bNeverAnswer = false;   // handsets that stay silent
    int nFailWrites = 0;         // each handset refuses its first N writes ...
    WORD wFailCode = 23;         // ... with this NV error code
    int nSlowWrites = 0;         // each handset delays the reply to its first N writes ...
    DWORD dwSlowReplyMs = 0;     // ... by this long
    bool bCorrupt = false;       // store a different text than written
    bool bGarbage = false;       // put noise and damaged frames before every reply
    std::string csvPath;         // every handset that stored items gets a row; empty: none
    unsigned nHandsets = 0;      // stop after this many handsets; 0 = no limit
    DWORD dwUnplugDelayMs = 20;  // USB: the port stays this long after the end of test
    DWORD dwOpenDelayMs = 0;     // USB: a new port cannot be opened for this long
    int nDropsAfterMode = 0;     // USB: the first N handsets leave the bus right after
                                 // entering the mode (a handset that restarts), and
                                 // come back as the next handset after power-up
    // Items every handset already holds when it arrives (a handset back for a
    // rework); empty: none. Reads answer them until a write replaces them.
    std::string carriedImei1, carriedImei2, carriedImei3, carriedBtAddr;
    int nReplyPieces = 1;    // each reply written in this many pieces ...
    DWORD dwPieceGapMs = 0;  // ... with this gap between them
    // One line per handset that ended (or was left with items stored).
    std::function<void(const std::string&)> onSummary;
};

// What one handset ended with.
struct HandsetResult {
    unsigned nIndex = 0;  // 1, 2, ...
    DWORD dwPort = 0;
    bool bStored = false;
    bool bEnded = false;  // the end-of-test command arrived
    std::string time;     // when it finished, "YYYY-MM-DD hh:mm:ss.mmm"
    std::string imei1, imei2, imei3, btAddr;
    int nWrites = 0;   // write commands received in mode
    int nRefused = 0;  // of those, refused
    int nReads = 0;
};

// Not copyable. Start, Stop and the accessors may be called from any thread.
class CHandsetSim {
public:
    explicit CHandsetSim(HandsetSimOptions options);
    ~CHandsetSim();
    CHandsetSim(const CHandsetSim&) = delete;
    CHandsetSim& operator=(const CHandsetSim&) = delete;

    // Serial: creates and registers the port. Then starts the simulator's
    // thread. FALSE with *pError set when the port cannot be created.
    bool Start(std::string* pError);
    // Stops the thread, records a handset that stored items but never
    // ended, and removes the port. Idempotent.
    void Stop();
    // Serial: the registered port. USB: the port of the handset now present,
    // 0 when none is.
    DWORD Port() const { return m_dwPort.load(); }
    // Serial: the tty the handsets answer on (valid after Start).
    const std::string& SlavePath() const { return m_pty.SlavePath(); }
    // The handsets finished so far, in order.
    std::vector<HandsetResult> Results() const;
    size_t FinishedCount() const;
    // Waits until at least n handsets finished. FALSE after dwTimeoutMs.
    bool WaitFinished(size_t n, DWORD dwTimeoutMs) const;
    // TRUE once nHandsets handsets finished (never without a limit).
    bool Done() const { return m_bDone.load(); }

private:
    enum class Power { kOff, kPoweringUp, kOn, kUnplugging };
    struct Handset {
        unsigned nIndex = 0;
        DWORD dwMode = 0;
        HandsetResult result;
        int nWriteCalls = 0;
    };

    void Run();
    void HandleFrame(const CbFrame& frame);
    void Reply(BYTE bCommand, WORD wSequence, WORD wStatus, const BYTE* pExtra, size_t cbExtra);
    WORD Store(const BYTE* pRecord);
    void FinishHandset(bool bEnded);
    void NewHandset(Power power);
    void AppendCsv(const HandsetResult& result);
    // Sleeps up to dwMs unless Stop is called. FALSE when stopped.
    bool Pause(DWORD dwMs);

    const HandsetSimOptions m_options;
    platform::PseudoTerminal m_pty;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bDone{false};
    std::atomic<DWORD> m_dwPort{0};

    // Thread-only state.
    Handset m_handset;
    CFrameDecoder m_decoder;
    Power m_power = Power::kOff;
    unsigned m_nNextIndex = 1;
    DWORD m_dwPowerAt = 0;
    DWORD m_dwOpenableAt = 0;  // USB: the port is held exclusively until then
    bool m_bHeld = false;
    int m_nDrops = 0;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<HandsetResult> m_results;  // guarded by m_lock
};
