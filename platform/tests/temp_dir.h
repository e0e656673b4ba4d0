// A private directory for one test under $TMPDIR (or /tmp), removed with
// everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/win_codepage.h"

class TempDir {
public:
    TempDir() {
        const char* lpszBase = getenv("TMPDIR");
        std::string tmpl = std::string(lpszBase != nullptr && *lpszBase ? lpszBase : "/tmp") +
                           "/platform-test-XXXXXX";
        const char* lpszDir = mkdtemp(tmpl.data());
        m_dir = lpszDir != nullptr ? lpszDir : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Dir() const { return m_dir; }
    // Native path of a name inside the directory.
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // The same path as a wide string, with backslashes as a Windows caller writes it.
    std::wstring WinPath(const std::string& name) const {
        std::string path = Path(name);
        std::wstring w(path.size() + 1, L'\0');
        int n =
            MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, w.data(), static_cast<int>(w.size()));
        w.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
        for (wchar_t& c : w) {
            if (c == L'/')
                c = L'\\';
        }
        return w;
    }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string m_dir;
};
