// A CSV file as the records export it: UTF-8, lines ending in \n, a value
// quoted (its quotes doubled) only when it holds a comma, quote or line
// break. Written beside its target and renamed over it when complete, so a
// reader never sees half a file and a failed export leaves the old one.
#pragma once

#include <fstream>
#include <string>
#include <vector>

std::string CsvField(const std::string& value);

class CCsvFile {
public:
    CCsvFile() = default;
    // Removes the unfinished file when Commit was not reached.
    ~CCsvFile();
    CCsvFile(const CCsvFile&) = delete;
    CCsvFile& operator=(const CCsvFile&) = delete;

    // Starts "<path>.tmp". FALSE with *pError when it cannot be created.
    bool Create(const std::string& path, std::string* pError);
    void Row(const std::vector<std::string>& fields);
    // Closes and renames over the target. FALSE with *pError (nothing
    // replaced) when a write failed.
    bool Commit(std::string* pError);

private:
    std::string m_path;
    std::string m_tmpPath;
    std::ofstream m_out;
    bool m_bCommitted = false;
};
