// Which numbers a write job may take: the record's and this run's used
// numbers are skipped, generation never leaves the start number's
// allocation, and the start number stored never falls back below a number a
// worker wrote or may have written.
#include <algorithm>
#include <string>
#include <utility>

#include "job_record.h"
#include "job_runner.h"
#include "write_job.h"

using job_text::Ansi;

void CJobRunner::Shared::MarkUsed(int64_t nBody) {
    // A number of another allocation starts that allocation's count (the
    // operator moved the start number there).
    int64_t nOld = pUsed->nUpTo.load();
    while ((nOld < nBody || !SameAllocation(nOld, nBody)) &&
           !pUsed->nUpTo.compare_exchange_weak(nOld, nBody)) {
    }
}

void CJobRunner::Shared::SaveStartNumberPastUsed() {
    if (!bHaveSettingsFile)
        return;
    // One store at a time, from the mark as it stands then: workers of
    // several slots that end out of order never move it back. The last body
    // of an allocation stays the start number: the next job finds it used
    // and is refused, instead of running on into the next allocation.
    std::lock_guard<std::mutex> lock(pUsed->saveLock);
    const int64_t nUsed = pUsed->nUpTo.load();
    settingsFile.SaveStartNumber(DecimalText(std::min(nUsed + 1, AllocationLast(nUsed))));
}

void CJobRunner::ApplyUsedNumbers() {
    // Only within the start number's own allocation: a start number the
    // operator moved to another range in Setup is taken as it stands (the
    // record still keeps every used number of that range away).
    const int64_t nUsed = m_pShared->pUsed->nUpTo.load();
    if (m_settings.autoCreate && nUsed >= 0 &&
        SameAllocation(nUsed, ReadDecimal(m_settings.startNumber)))
        m_rules.RaiseStartNumber(nUsed + 1);
}

int64_t CJobRunner::StartNumberForSave() const {
    // Numbers from the pool leave the start number as it stands.
    if (m_rules.PoolGeneration())
        return ReadDecimal(m_settings.startNumber);
    // In derivation mode the counter is what the IMEI1 box held; when that
    // is not a number (an empty box), the generation start number stays.
    if (m_settings.autoFromImei1 && !m_rules.CounterIsBody())
        return ReadDecimal(m_settings.startNumber);
    int64_t nStart = CounterForSave(m_settings, m_rules.Counter());
    const int64_t nUsed = m_pShared->pUsed->nUpTo.load();
    if (m_settings.autoCreate && nUsed >= nStart && SameAllocation(nUsed, nStart))
        nStart = std::min(nUsed + 1, AllocationLast(nUsed));
    return nStart;
}

// In generation mode, steps past numbers the record (or a worker of this
// run) holds as written or possibly written: a start number edited back in
// the file, one that a second station took, the last body of a used-up
// allocation. Never leaves the start number's allocation.
CJobRunner::FreeNumbers CJobRunner::SkipUsedNumbers() {
    if (!m_settings.autoCreate)
        return FreeNumbers::Found;
    for (int nTry = 0; nTry < 1000; ++nTry) {
        const std::pair<int, const std::wstring*> items[] = {
            {m_settings.imei1On, &m_rules.PreparedImei1()},
            {m_settings.imei2On, &m_rules.PreparedImei2()},
            {m_settings.imei3On, &m_rules.PreparedImei3()}};
        const int64_t nUsed = m_pShared->pUsed->nUpTo.load();
        bool bUsed = false;
        for (const auto& [nOn, pImei] : items) {
            if (!nOn)
                continue;
            const int64_t nBody = ReadDecimal(*pImei) / 10;
            if (nUsed >= 0 && nBody <= nUsed && SameAllocation(nBody, nUsed)) {
                bUsed = true;
                continue;
            }
            std::string error;
            // A record on the network is left to the job's claim.
            if (m_pShared->pLedger && !m_pShared->pLedger->Networked() &&
                m_pShared->pLedger->IsImeiUsed(Ansi(*pImei), &error)) {
                // A record that cannot be read answers "used": give up at
                // once (the job could not record its numbers either).
                if (!error.empty())
                    return FreeNumbers::RecordFailed;
                bUsed = true;
            }
        }
        if (!bUsed)
            return FreeNumbers::Found;
        if (m_rules.Counter() + 1 > AllocationLast(ReadDecimal(m_settings.startNumber)))
            return FreeNumbers::RangeUsedUp;
        m_rules.RaiseStartNumber(m_rules.Counter() + 1);
        RedrawForStart();
    }
    return FreeNumbers::NoneNearby;
}

int64_t ResumeStartBody(IJobRecord& record, int64_t nStartBody) {
    // Only numbers of the start number's own type allocation (its first
    // eight digits) move it: a number typed by hand from another range must
    // never send generation into that range.
    // The line's record is not asked from the window's thread: the job's
    // claim keeps used numbers out.
    if (record.Networked())
        return nStartBody;
    const int64_t nHighest = record.HighestImeiBody(nullptr);
    if (nHighest >= nStartBody && SameAllocation(nHighest, nStartBody))
        return std::min(nHighest + 1, AllocationLast(nHighest));
    return nStartBody;
}
