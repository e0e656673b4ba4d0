#include "connection_string.h"

namespace faultreader {
namespace {

std::string Trim(const std::string& str) {
    size_t b = 0, e = str.size();
    while (b < e && (str[b] == ' ' || str[b] == '\t'))
        ++b;
    while (e > b && (str[e - 1] == ' ' || str[e - 1] == '\t'))
        --e;
    return str.substr(b, e - b);
}

std::string Lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return str;
}

}  // namespace

bool ParseConnectionString(const std::string& strText, ConnectionSettings* pOut) {
    ConnectionSettings settings;
    bool bHaveSource = false;
    size_t pos = 0;
    while (pos < strText.size()) {
        const size_t eq = strText.find('=', pos);
        if (eq == std::string::npos)
            break;
        // A piece without "=" before this key is dropped.
        const size_t lastSemi = strText.rfind(';', eq);
        if (lastSemi != std::string::npos && lastSemi >= pos)
            pos = lastSemi + 1;
        const std::string key = Lower(Trim(strText.substr(pos, eq - pos)));
        size_t cur = eq + 1;
        while (cur < strText.size() && (strText[cur] == ' ' || strText[cur] == '\t'))
            ++cur;
        std::string value;
        if (cur < strText.size() && (strText[cur] == '"' || strText[cur] == '\'')) {
            const char quote = strText[cur++];
            while (cur < strText.size()) {
                if (strText[cur] == quote) {
                    if (cur + 1 < strText.size() && strText[cur + 1] == quote) {
                        value += quote;
                        cur += 2;
                        continue;
                    }
                    ++cur;
                    break;
                }
                value += strText[cur++];
            }
            const size_t semi = strText.find(';', cur);
            pos = semi == std::string::npos ? strText.size() : semi + 1;
        } else {
            const size_t semi = strText.find(';', cur);
            const size_t end = semi == std::string::npos ? strText.size() : semi;
            value = Trim(strText.substr(cur, end - cur));
            pos = semi == std::string::npos ? strText.size() : semi + 1;
        }
        if (key == "data source") {
            settings.strDataSource = value;
            bHaveSource = true;
        } else if (key == "jet oledb:database password" || key == "password" || key == "pwd") {
            settings.strPassword = value;
        }
    }
    if (!bHaveSource || settings.strDataSource.empty())
        return false;
    *pOut = settings;
    return true;
}

std::string BuildConnectionString(const std::string& strPath, const std::string& strPassword) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + strPath +
           ";Persist Security Info=False;Jet OLEDB:Database Password=" + strPassword;
}

bool IsUsablePassword(const std::string& strPassword) {
    if (strPassword.find('_') != std::string::npos)
        return false;
    ConnectionSettings settings;
    return ParseConnectionString(BuildConnectionString("x", strPassword), &settings) &&
           settings.strPassword == strPassword;
}

}  // namespace faultreader
