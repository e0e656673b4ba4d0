// Private-profile (INI) files as a hand on the line may leave them: the
// input is the file's bytes. Every section and key is read through the ANSI
// calls; values are written back into the same file and into a fresh one,
// and both must read back exactly the values read first, through the wide
// calls too where the text converts. The files live on /dev/shm, where the
// writer's fsync costs nothing.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win_codepage.h"
#include "platform/win_profile.h"

namespace {

constexpr size_t kMaxWrites = 6;

struct Entry {
    std::string section, key, value;
};

// The file names, removed again when the fuzzer exits.
char g_szOriginal[64];
char g_szFresh[64];

void NameFiles() {
    if (g_szOriginal[0] != '\0')
        return;
    std::snprintf(g_szOriginal, sizeof g_szOriginal, "/dev/shm/profile_fuzz_%d.ini", getpid());
    std::snprintf(g_szFresh, sizeof g_szFresh, "/dev/shm/profile_fuzz_%d_fresh.ini", getpid());
    std::atexit([] {
        std::remove(g_szOriginal);
        std::remove(g_szFresh);
    });
}

[[noreturn]] void Fail(const char* what, const Entry& e, const std::string& got) {
    std::fprintf(stderr, "profile: %s: [%s] %s = \"%s\", read back \"%s\"\n", what,
                 e.section.c_str(), e.key.c_str(), e.value.c_str(), got.c_str());
    std::abort();
}

// A list read (section names or key names): names each followed by a
// terminator.
std::vector<std::string> ReadList(const char* lpSection, const std::string& path) {
    static std::vector<char> buf(1 << 20);
    DWORD n = GetPrivateProfileStringA(lpSection, nullptr, "", buf.data(),
                                       static_cast<DWORD>(buf.size()), path.c_str());
    if (n >= buf.size() - 2)
        std::abort();  // the input is far smaller than the buffer
    std::vector<std::string> names;
    for (DWORD i = 0; i < n;) {
        size_t len = std::strlen(buf.data() + i);
        names.emplace_back(buf.data() + i, len);
        i += static_cast<DWORD>(len) + 1;
    }
    return names;
}

// The value, or false when the key is not there. A name cut by a zero byte
// in the file does not find its key; both defaults come back then.
bool ReadValue(const std::string& section, const std::string& key, const std::string& path,
               std::string* pValue) {
    static std::vector<char> buf(1 << 20);
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01", buf.data(),
                                       static_cast<DWORD>(buf.size()), path.c_str());
    pValue->assign(buf.data(), n);
    if (*pValue != "\x01")
        return true;
    n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x02", buf.data(),
                                 static_cast<DWORD>(buf.size()), path.c_str());
    pValue->assign(buf.data(), n);
    return *pValue != "\x02";
}

std::vector<Entry> ReadAll(const std::string& path) {
    std::vector<Entry> entries;
    for (const std::string& section : ReadList(nullptr, path)) {
        if (section.find('\0') != std::string::npos)
            continue;
        for (const std::string& key : ReadList(section.c_str(), path)) {
            Entry e{section, key, {}};
            if (ReadValue(section, key, path, &e.value))
                entries.push_back(std::move(e));
        }
    }
    return entries;
}

void CheckSame(const std::vector<Entry>& entries, const std::string& path, const char* what) {
    for (const Entry& e : entries) {
        std::string got;
        if (!ReadValue(e.section, e.key, path, &got))
            Fail(what, e, "(missing)");
        if (got != e.value)
            Fail(what, e, got);
    }
}

// Strict conversion from the ANSI code page; false for bytes that are not
// text in it.
bool Widen(const std::string& text, std::wstring* pWide) {
    pWide->clear();
    if (text.empty())
        return true;
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return false;
    pWide->resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        pWide->data(), n);
    return pWide->find(L'\0') == std::wstring::npos;
}

void WriteFile(const std::string& path, const uint8_t* pData, size_t cb) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(pData, 1, cb, f) != cb || std::fclose(f) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    NameFiles();
    const std::string original = g_szOriginal;
    const std::string fresh = g_szFresh;
    WriteFile(original, pData, cb);
    std::remove(fresh.c_str());

    const std::vector<Entry> entries = ReadAll(original);

    // A value with a zero byte cannot be passed back through the C API; a
    // name or value with a carriage return is refused by the writer (it
    // could start a new line for another reader), and the file stays as it
    // was.
    auto writable = [](const Entry& e) {
        return e.value.find('\0') == std::string::npos &&
               (e.section + e.key + e.value).find('\r') == std::string::npos;
    };
    std::vector<Entry> written;
    for (const Entry& e : entries) {
        if (!writable(e)) {
            if (e.value.find('\0') == std::string::npos &&
                WritePrivateProfileStringA(e.section.c_str(), e.key.c_str(), e.value.c_str(),
                                           original.c_str()))
                Fail("a carriage return was written", e, "");
            continue;
        }
        // Every key is read; the first few are written back, which keeps a
        // run fast enough for millions of inputs (the fuzzer decides which
        // keys come first).
        if (written.size() == kMaxWrites)
            continue;
        written.push_back(e);
        if (!WritePrivateProfileStringA(e.section.c_str(), e.key.c_str(), e.value.c_str(),
                                        original.c_str()) ||
            !WritePrivateProfileStringA(e.section.c_str(), e.key.c_str(), e.value.c_str(),
                                        fresh.c_str()))
            Fail("write refused", e, "");
    }
    // The integer reader takes any text.
    for (const Entry& e : written)
        (void)GetPrivateProfileIntA(e.section.c_str(), e.key.c_str(), 7, original.c_str());
    // The wide calls see the same values as wide text.
    for (const Entry& e : written) {
        std::wstring section, key, value;
        if (!Widen(e.section, &section) || !Widen(e.key, &key) || !Widen(e.value, &value))
            continue;
        static std::vector<wchar_t> wbuf(1 << 20);
        const std::wstring wpath(fresh.begin(), fresh.end());
        DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", wbuf.data(),
                                           static_cast<DWORD>(wbuf.size()), wpath.c_str());
        if (std::wstring(wbuf.data(), n) != value)
            Fail("the wide read differs", e, "");
    }
    CheckSame(entries, original, "changed by writing the values back");
    CheckSame(written, fresh, "differs in a file written from the values");
    return 0;
}
