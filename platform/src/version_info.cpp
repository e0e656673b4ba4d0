// Version resources: read from a section of the program file (ELF), turned
// into a block of named values that VerQueryValueW walks.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/ext/native_path.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_version.h"

namespace {

constexpr uint32_t kBlockMagic = 0x49565356;  // "VSVI"
// Version resources are a few hundred bytes; anything far larger is not one.
constexpr uint64_t kMaxResourceBytes = 64 * 1024;

// Closes a descriptor when it goes out of scope.
struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool ReadAt(int fd, void* pBuffer, size_t cb, uint64_t offset) {
    auto* p = static_cast<char*>(pBuffer);
    while (cb > 0) {
        ssize_t n = ::pread(fd, p, cb, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        cb -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// The bytes of the version section of an ELF file. FALSE with the last error.
bool ReadVersionSection(LPCWSTR lpszFile, std::string& text) {
    if (lpszFile == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char szPath[4096];
    if (!platform::NativePath(lpszFile, szPath, sizeof szPath))
        return false;
    FileCloser file{::open(szPath, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        platform::SetLastErrorFromErrno(errno);
        return false;
    }
    Elf64_Ehdr ehdr;
    if (!ReadAt(file.fd, &ehdr, sizeof ehdr, 0) ||
        std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) != 0 || ehdr.e_ident[EI_CLASS] != ELFCLASS64 ||
        ehdr.e_shentsize != sizeof(Elf64_Shdr) || ehdr.e_shnum == 0 ||
        ehdr.e_shstrndx >= ehdr.e_shnum) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    std::vector<Elf64_Shdr> sections(ehdr.e_shnum);
    if (!ReadAt(file.fd, sections.data(), sections.size() * sizeof(Elf64_Shdr), ehdr.e_shoff)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    const Elf64_Shdr& names = sections[ehdr.e_shstrndx];
    if (names.sh_size > 1024 * 1024) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    std::string nameTable(names.sh_size, '\0');
    if (!ReadAt(file.fd, nameTable.data(), nameTable.size(), names.sh_offset)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= nameTable.size() ||
            std::strcmp(nameTable.c_str() + section.sh_name, PLATFORM_VERSION_SECTION) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxResourceBytes)
            break;
        text.assign(section.sh_size, '\0');
        if (!ReadAt(file.fd, text.data(), text.size(), section.sh_offset))
            break;
        text.resize(std::strlen(text.c_str()));  // the declaration's terminator
        return true;
    }
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return false;
}

void AppendBytes(std::vector<BYTE>& block, const void* p, size_t cb) {
    const auto* b = static_cast<const BYTE*>(p);
    block.insert(block.end(), b, b + cb);
    while (block.size() % 4 != 0)
        block.push_back(0);
}

// One entry: key length in characters (with terminator), value size in
// bytes, value length in characters (0 for binary data), the key, the value.
void AppendEntry(std::vector<BYTE>& block, const std::wstring& key, const void* pValue,
                 uint32_t cbValue, uint32_t cchValue) {
    const uint32_t header[3] = {static_cast<uint32_t>(key.size() + 1), cbValue, cchValue};
    AppendBytes(block, header, sizeof header);
    AppendBytes(block, key.c_str(), (key.size() + 1) * sizeof(wchar_t));
    AppendBytes(block, pValue, cbValue);
}

int HexValue(const std::string& text) {
    if (text.size() != 4)
        return -1;
    int value = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0)
            return -1;
        value = value * 16 + d;
    }
    return value;
}

// Turns the declared text into the block. Strings belong to the first
// translation; lines without '=' are ignored.
std::vector<BYTE> BuildBlock(const std::string& text) {
    std::vector<BYTE> block;
    const uint32_t head[2] = {kBlockMagic, 0};
    AppendBytes(block, head, sizeof head);
    uint32_t nEntries = 0;
    std::vector<WORD> translations;
    std::vector<std::pair<std::string, std::string>> strings;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "Translation") {
            const size_t comma = value.find(',');
            int lang = HexValue(value.substr(0, comma));
            int cp = comma == std::string::npos ? -1 : HexValue(value.substr(comma + 1));
            if (lang >= 0 && cp >= 0) {
                translations.push_back(static_cast<WORD>(lang));
                translations.push_back(static_cast<WORD>(cp));
            }
        } else {
            strings.emplace_back(std::move(name), std::move(value));
        }
    }
    if (!translations.empty()) {
        AppendEntry(block, L"\\VarFileInfo\\Translation", translations.data(),
                    static_cast<uint32_t>(translations.size() * sizeof(WORD)), 0);
        ++nEntries;
        wchar_t szLangCp[16];
        swprintf(szLangCp, 16, L"%04x%04x", translations[0], translations[1]);
        for (const auto& [name, value] : strings) {
            const std::wstring key = std::wstring(L"\\StringFileInfo\\") + szLangCp + L"\\" +
                                     platform::Utf8ToWide(name.c_str());
            const std::wstring wide = platform::Utf8ToWide(value.c_str());
            AppendEntry(block, key, wide.c_str(),
                        static_cast<uint32_t>((wide.size() + 1) * sizeof(wchar_t)),
                        static_cast<uint32_t>(wide.size() + 1));
            ++nEntries;
        }
    }
    std::memcpy(block.data() + sizeof(uint32_t), &nEntries, sizeof nEntries);
    return block;
}

bool SameName(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (std::towlower(*a) != std::towlower(*b))
            return false;
    }
    return *a == *b;
}

size_t Padded(size_t cb) {
    return (cb + 3) / 4 * 4;
}

}  // namespace

extern "C" DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr)
        *lpdwHandle = 0;
    if (platform::FaultHit("GetFileVersionInfoSizeW"))
        return 0;
    std::string text;
    if (!ReadVersionSection(lptstrFilename, text))
        return 0;
    return static_cast<DWORD>(BuildBlock(text).size());
}

extern "C" BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen,
                                    LPVOID lpData) {
    if (platform::FaultHit("GetFileVersionInfoW"))
        return FALSE;
    if (lpData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text;
    if (!ReadVersionSection(lptstrFilename, text))
        return FALSE;
    const std::vector<BYTE> block = BuildBlock(text);
    if (block.size() > dwLen) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpData, block.data(), block.size());
    return TRUE;
}

extern "C" BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer,
                               PUINT puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr || puLen == nullptr)
        return FALSE;
    const auto* base = static_cast<const BYTE*>(pBlock);
    uint32_t head[2];
    std::memcpy(head, base, sizeof head);
    if (head[0] != kBlockMagic)
        return FALSE;
    size_t offset = sizeof head;
    for (uint32_t i = 0; i < head[1]; ++i) {
        uint32_t entry[3];
        std::memcpy(entry, base + offset, sizeof entry);
        offset += sizeof entry;
        const auto* key = reinterpret_cast<const wchar_t*>(base + offset);
        offset += Padded(entry[0] * sizeof(wchar_t));
        if (SameName(key, lpSubBlock)) {
            *lplpBuffer = const_cast<BYTE*>(base + offset);
            *puLen = entry[2] != 0 ? entry[2] : entry[1];
            return TRUE;
        }
        offset += Padded(entry[1]);
    }
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return FALSE;
}
