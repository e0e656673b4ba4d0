#include "csv_file.h"

#include <filesystem>
#include <system_error>

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

CCsvFile::~CCsvFile() {
    if (!m_bCommitted && !m_tmpPath.empty()) {
        m_out.close();
        std::error_code ec;
        std::filesystem::remove(m_tmpPath, ec);
    }
}

bool CCsvFile::Create(const std::string& path, std::string* pError) {
    m_path = path;
    m_tmpPath = path + ".tmp";
    m_out.open(m_tmpPath, std::ios::binary | std::ios::trunc);
    if (!m_out) {
        if (pError != nullptr)
            *pError = "cannot create " + m_tmpPath;
        m_tmpPath.clear();
        return false;
    }
    return true;
}

void CCsvFile::Row(const std::vector<std::string>& fields) {
    for (size_t i = 0; i < fields.size(); ++i)
        m_out << (i > 0 ? "," : "") << CsvField(fields[i]);
    m_out << '\n';
}

bool CCsvFile::Commit(std::string* pError) {
    m_out.close();
    if (!m_out) {
        if (pError != nullptr)
            *pError = "cannot write " + m_tmpPath;
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(m_tmpPath, m_path, ec);
    if (ec) {
        if (pError != nullptr)
            *pError = "cannot replace " + m_path + ": " + ec.message();
        return false;
    }
    m_bCommitted = true;
    return true;
}
