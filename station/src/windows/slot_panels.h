// The main window's slots, for a station that writes several handsets at
// once: one panel per slot (its port, the numbers of its handset, its label
// and its counts), and the board that holds the station's slots with their
// panels in a grid and drives them. The slots themselves are the core's
// (CSlot); this is what the operator sees of them.
#pragma once

#include <QFrame>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "color_label.h"
#include "station_slot.h"

class QLabel;
class QLineEdit;

// Runs a function later on the window's thread, after everything posted
// before it (the window's own posting, which its runner uses too).
using WindowPoster = std::function<void(std::function<void()>)>;

// Shown on every panel while the slots may start and have not.
extern const wchar_t MSG_SLOTS_READY[];

class CSlotPanel : public QFrame, public ISlotPanel {
public:
    // settings: the station's, read for the items in use.
    CSlotPanel(int nPort, const StationSettings& settings, WindowPoster post, QWidget* pParent);
    CSlotPanel(const CSlotPanel&) = delete;
    CSlotPanel& operator=(const CSlotPanel&) = delete;

    // The slot shown: a finished job's numbers are read from its runner.
    void SetSlot(CSlot* pSlot) { m_pSlot = pSlot; }
    // The title from the registered ports (port_list.h's items): "COM3", or
    // "COM3 (未连接)" while the port is absent.
    void ShowPortItems(const std::vector<std::wstring>& items);

    QString Title() const;
    CColorLabel& Label() { return *m_pLabel; }
    QString CountsText() const;
    // The number box of IMEI1, IMEI2, IMEI3 or the address (0..3).
    QLineEdit& NumberBox(int nItem) { return *m_number[nItem]; }

    // ISlotPanel. A finished job's outcome (its label and numbers) stays in
    // view while the slot's next job waits for its handset: the operator
    // reads it when swapping handsets. The next handset's connection, a
    // start that fails, or Stop replace it.
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override;
    void ShowNumbers(const NumberBoxes& numbers) override;
    void ShowCounts(const JobCounts& counts) override;
    void Post(std::function<void()> fn) override { m_post(std::move(fn)); }

private:
    void ShowCountsText(const JobCounts& counts);
    void ApplyNumbers(const NumberBoxes& numbers);
    void ApplyStatus(const std::wstring& text, std::optional<COLORREF> crBk);

    const int m_nPort;
    const StationSettings& m_settings;
    WindowPoster m_post;
    CSlot* m_pSlot = nullptr;
    QLabel* m_pTitle = nullptr;
    CColorLabel* m_pLabel = nullptr;
    QLabel* m_caption[4] = {};
    QLineEdit* m_number[4] = {};
    QLabel* m_pCounts = nullptr;
    // While an outcome is held: what the slot showed meanwhile.
    bool m_bHolding = false;
    std::optional<COLORREF> m_heldColor;
    NumberBoxes m_latest;
};

class CSlotBoard : public QWidget {
public:
    // One slot per port, on the station's settings and number rules.
    CSlotBoard(const std::vector<int>& ports, StationSettings& settings, CNumberRules& rules,
               const WindowPoster& post, QWidget* pParent);
    // The slots end (each detached from its panel) before the panels go.
    ~CSlotBoard() override;
    CSlotBoard(const CSlotBoard&) = delete;
    CSlotBoard& operator=(const CSlotBoard&) = delete;

    // The record, the pool and the settings file every slot writes to.
    // FALSE when a slot's events or session cannot be made.
    bool Init(const std::shared_ptr<IJobRecord>& pRecord, const std::string& pool,
              const CSettingsFile* pFile);
    // Why the slots may not start (in ColorFail on every panel), or, when
    // reason is empty, MSG_SLOTS_READY on the idle colour.
    void ShowReason(const std::wstring& reason);
    void ShowPortItems(const std::vector<std::wstring>& items);

    // Every slot starts and goes on by itself until StopAll; a start that
    // failed is tried again about once a second.
    void RunAll();
    // Every slot stops: the workers are all told at once, then each slot is
    // stopped as the Stop button stops a job.
    void StopAll();
    // The window closes: no slot starts or posts any more; workers still
    // inside a call finish on their own.
    void Detach();
    bool Running() const;
    bool JobActive() const;
    bool WorkerAlive() const;
    // The station's counts: every slot's added up.
    JobCounts Total() const;
    // The start number to store: the first slot's, which sees the numbers
    // of all of them.
    int64_t StartNumberForSave() const { return m_slots.front()->Runner().StartNumberForSave(); }

    size_t Count() const { return m_slots.size(); }
    CSlot& Slot(size_t i) { return *m_slots[i]; }
    CSlotPanel& Panel(size_t i) { return *m_panels[i]; }

    // Called when a slot's job ended, after its counts.
    std::function<void()> countsChanged;

private:
    std::vector<CSlotPanel*> m_panels;
    std::vector<std::unique_ptr<CSlot>> m_slots;
    QTimer m_tick;
};
