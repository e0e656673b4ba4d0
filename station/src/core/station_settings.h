// The station's settings: the block the windows and the write job read, and
// Stampwell.ini beside the program, where they live between runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A [General] Slots value that is not 2 to 8 different COM numbers.
extern const wchar_t MSG_SLOTS_INVALID[];

// The settings block. Flags are tested as zero / non-zero everywhere. The
// first ten fields are the ones the Setup dialog edits in place.
struct StationSettings {
    int imei1On = 0;
    int imei2On = 0;
    int imei3On = 0;
    int autoCreate = 0;     // IMEIs are generated from startNumber
    int autoFromImei1 = 0;  // IMEI2 and IMEI3 are derived from the typed IMEI1
    int useSame = 0;        // in generation mode IMEI2 and IMEI3 equal IMEI1
    int phaseCheck = 0;     // always 0 at run time
    int btOn = 0;
    int btAuto = 0;
    std::wstring startNumber;  // 14-digit IMEI body generation starts from
    int fastWrite = 0;         // 1: the fast NV write command, 0: the direct one
    int timeoutMs = 3000;      // how long the worker waits for the handset
    int modeWaitMs = 10000;    // pause after a serial connection
    int userPrivilege = 0;     // the Setup button is usable
    int readBack = 0;          // read the items back after a fast write
    int checkDigits = 0;       // typed IMEIs must carry a valid check digit
};

// The port choice beside the block: a COM number, or -1 for USB.
struct PortSetting {
    int port = -1;
    int usb = 0;
    // No Port key in the file: port holds the default COM1, taken when
    // present, else USB. A port the file names is kept even when absent.
    bool defaulted = false;
};

// Where the record of handsets lives: [Record] in Stampwell.ini. Texts as
// the file holds them (UTF-8 here).
struct RecordSettings {
    std::string server;        // a libpq connection string; empty: the file beside the program
    std::string station;       // this station's name in the record; default: the host name
    std::string pool;          // generation's pool on the server; empty: the start number
    std::string operatorName;  // kept with every job when set
    std::string workOrder;     // kept with every job when set
};

// Stampwell.ini, read and written with the private-profile calls. A missing
// file or key gives the defaults; a failed write is ignored, as on the line
// nothing can be done about it at that moment. Not copyable state, no
// widgets; one thread at a time.
class CSettingsFile {
public:
    // The file beside the running program ("<dir>/Stampwell.ini"). FALSE when
    // the program's path cannot be had or has no directory part.
    bool LocateBesideProgram();
    // Any other file (tests, a station started with an explicit file).
    void SetPath(std::wstring path) { m_path = std::move(path); }
    const std::wstring& Path() const { return m_path; }
    // The record of handsets beside the settings file ("Stampwell.db"), as
    // a UTF-8 path.
    std::string RecordPath() const;
    // The queue of outcomes not yet delivered to the line's server, beside the
    // settings file ("StampwellQueue.db"), as a UTF-8 path.
    std::string QueuePath() const;
    // [Record]: blanks around each value trimmed; an empty Station gives the
    // host name.
    void LoadRecordSettings(RecordSettings& record) const;
    // [General] Slots: the COM numbers of a station that writes several
    // handsets at once ("3,4,5,6", blanks allowed). Absent or empty: none
    // (TRUE, ports empty). FALSE with MSG_SLOTS_INVALID's reason when it is
    // not 2 to 8 different numbers from 1 to 255.
    bool LoadSlots(std::vector<int>& ports) const;

    // Reads every key into the block and the port, in the file's documented
    // order; phaseCheck is then forced to 0 and DefaultIMEI is cut to 14
    // characters.
    void LoadSettings(StationSettings& settings, PortSetting& port) const;
    // Writes the keys that the close handler writes back, in their order.
    // nDefaultImei is the start number to store (the caller applies the
    // counter correction, see CounterForSave).
    void SaveSettings(const StationSettings& settings, const PortSetting& port,
                      int64_t nDefaultImei) const;
    // Stores DefaultIMEI alone, atomically (the file is replaced whole), so a
    // start number advanced after a write survives any later end of the
    // program. FALSE when the file could not be written.
    bool SaveStartNumber(const std::wstring& startNumber) const;

private:
    // A file beside the settings file, as a UTF-8 path.
    std::string BesideSettings(const wchar_t* lpszName) const;

    std::wstring m_path;
};

// UTF-8 and back, for the record's path and texts, the batch mode's output and
// its numbers file. Text that does not convert is cut where it stops.
std::string Utf8Text(const std::wstring& text);
std::wstring WideFromUtf8(const std::string& text);

// The running counter as DefaultIMEI is written back on close: the counter
// holds the body of the last number drawn for the handset on screen; the
// correction brings it back to that handset's IMEI1.
int64_t CounterForSave(const StationSettings& settings, int64_t nCounter);
