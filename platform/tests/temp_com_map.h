// A private COM port map directory for one test: created empty, pointed to
// by COMPORT_MAP_DIR while the object lives, removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class TempComMap {
public:
    TempComMap() {
        char szTemplate[] = "/tmp/comport-map-test-XXXXXX";
        const char* lpszDir = mkdtemp(szTemplate);
        m_dir = lpszDir != nullptr ? lpszDir : "";
        const char* lpszOld = getenv("COMPORT_MAP_DIR");
        m_bHadOld = lpszOld != nullptr;
        if (m_bHadOld)
            m_old = lpszOld;
        setenv("COMPORT_MAP_DIR", m_dir.c_str(), 1);
    }
    ~TempComMap() {
        if (m_bHadOld) {
            setenv("COMPORT_MAP_DIR", m_old.c_str(), 1);
        } else {
            unsetenv("COMPORT_MAP_DIR");
        }
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    TempComMap(const TempComMap&) = delete;
    TempComMap& operator=(const TempComMap&) = delete;

    const std::string& Dir() const { return m_dir; }

private:
    std::string m_dir;
    std::string m_old;
    bool m_bHadOld = false;
};
