// The write job's view without a window: the boxes are plain data (the
// runner's NumberBoxes, nothing to synchronise), the label is a text and a
// colour, and posted messages wait in a queue that the owner's thread runs.
// The batch mode's view, and the tests' view of the runner.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "job_runner.h"
#include "label_colors.h"
#include "platform/win_types.h"

// Messages posted from workers, run in order by the owner's thread.
class CPostQueue {
public:
    void Post(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(std::move(fn));
        m_cv.notify_one();
    }
    // Runs posted messages until done() holds, or until dwMs passed
    // (INFINITE: no limit; 0: only the messages already posted). FALSE when
    // the time ran out first.
    template <class Done>
    bool RunUntil(Done done, DWORD dwMs = INFINITE) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMs);
        const auto posted = [this] { return !m_queue.empty(); };
        while (!done()) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                if (dwMs == INFINITE)
                    m_cv.wait(lock, posted);
                else if (!m_cv.wait_until(lock, deadline, posted))
                    return false;
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
        }
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
};

class CBatchView : public IStationView {
public:
    void SyncBoxesFromControls() override {}
    void SyncControlsFromBoxes() override {}
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override {
        status = text;
        if (crBk)
            color = *crBk;
    }
    void EnableJobControls(bool) override {}
    void FocusImei1() override {}
    void FocusWrite() override {}
    void Post(std::function<void()> fn) override { m_queue.Post(std::move(fn)); }
    void JobFinished(int nResult) override {
        bFinished = true;
        result = static_cast<JobResult>(nResult);
    }
    // Runs posted messages until a job finished, or until dwMs passed
    // (INFINITE: no limit; 0: only the messages already posted). FALSE when
    // the time ran out first.
    bool RunUntilFinished(DWORD dwMs = INFINITE) {
        return m_queue.RunUntil([this] { return bFinished; }, dwMs);
    }

    std::wstring status;
    COLORREF color = ColorIdle;
    bool bFinished = false;
    JobResult result = JobResult::NotStarted;

private:
    CPostQueue m_queue;
};
