// Profile (INI) text: parsing with the Windows rules and line-preserving edits.
#include "profile_document.h"

#include "codepage_internal.h"

namespace platform {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Fold(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Letter case is folded in single-byte characters only: the second byte of
// a double-byte character may look like an ASCII letter and must match
// exactly. (UTF-8 has no such bytes.)
bool EqualNoCase(std::string_view a, std::string_view b, bool bDoubleByte) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (bDoubleByte && IsAnsiLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
            ++i;
            continue;
        }
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    }
    return true;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// The value as a line stores it: quoted when blanks at its ends or quotes
// around it would otherwise be lost on reading, so that every value reads
// back as it was written.
std::string StoredValue(std::string_view value) {
    const bool bBlankEnds = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    const bool bQuoted =
        value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
    if (!bBlankEnds && !bQuoted)
        return std::string(value);
    return "\"" + std::string(value) + "\"";
}

}  // namespace

ProfileDocument::ProfileDocument(std::string_view text, bool bUtf8) : m_bUtf8(bUtf8) {
    // Neither CR nor LF is ever part of a double-byte character.
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        Line line;
        if (end == std::string_view::npos) {
            line.text = std::string(text.substr(pos));
            pos = text.size();
        } else {
            size_t next = end + 1;
            if (text[end] == '\r' && next < text.size() && text[next] == '\n')
                ++next;
            line.text = std::string(text.substr(pos, end - pos));
            line.eol = std::string(text.substr(end, next - end));
            pos = next;
            if (m_eol.empty())
                m_eol = line.eol;
        }
        m_lines.push_back(std::move(line));
    }
    if (m_eol.empty())
        m_eol = "\r\n";
}

bool ProfileDocument::NamesEqual(std::string_view a, std::string_view b) const {
    return EqualNoCase(a, b, !m_bUtf8);
}

ProfileDocument::Parsed ProfileDocument::Parse(size_t index) const {
    std::string_view s = m_lines[index].text;
    if (index == 0 && s.substr(0, kUtf8Bom.size()) == kUtf8Bom)
        s.remove_prefix(kUtf8Bom.size());
    s = Trim(s);
    Parsed p;
    if (s.empty() || s.front() == ';')
        return p;
    if (s.front() == '[') {
        s.remove_prefix(1);
        size_t close = s.find(']');
        p.kind = Kind::Section;
        p.name = Trim(close == std::string_view::npos ? s : s.substr(0, close));
        return p;
    }
    size_t eq = s.find('=');
    if (eq == std::string_view::npos)
        return p;
    p.name = Trim(s.substr(0, eq));
    if (p.name.empty())
        return p;
    p.kind = Kind::Key;
    p.value = Trim(s.substr(eq + 1));
    return p;
}

size_t ProfileDocument::FindSection(std::string_view section) const {
    section = Trim(section);
    for (size_t i = 0; i < m_lines.size(); ++i) {
        Parsed p = Parse(i);
        if (p.kind == Kind::Section && NamesEqual(p.name, section))
            return i;
    }
    return std::string::npos;
}

size_t ProfileDocument::SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < m_lines.size() && Parse(i).kind != Kind::Section)
        ++i;
    return i;
}

bool ProfileDocument::FindValue(std::string_view section, std::string_view key,
                                std::string* pValue) const {
    size_t header = FindSection(section);
    if (header == std::string::npos)
        return false;
    key = Trim(key);
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        Parsed p = Parse(i);
        if (p.kind != Kind::Key || !NamesEqual(p.name, key))
            continue;
        std::string_view v = p.value;
        if (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        pValue->assign(v);
        return true;
    }
    return false;
}

std::vector<std::string> ProfileDocument::SectionNames() const {
    std::vector<std::string> names;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        Parsed p = Parse(i);
        if (p.kind == Kind::Section)
            names.emplace_back(p.name);
    }
    return names;
}

std::vector<std::string> ProfileDocument::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    size_t header = FindSection(section);
    if (header == std::string::npos)
        return names;
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        Parsed p = Parse(i);
        if (p.kind == Kind::Key)
            names.emplace_back(p.name);
    }
    return names;
}

void ProfileDocument::EnsureLineEnd(size_t index) {
    if (m_lines[index].eol.empty())
        m_lines[index].eol = m_eol;
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key,
                               std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    std::string text = std::string(key) + "=" + StoredValue(value);
    size_t header = FindSection(section);
    if (header == std::string::npos) {
        if (!m_lines.empty()) {
            EnsureLineEnd(m_lines.size() - 1);
            if (!Trim(m_lines.back().text).empty())
                m_lines.push_back(Line{"", m_eol});
        }
        m_lines.push_back(Line{"[" + std::string(section) + "]", m_eol});
        m_lines.push_back(Line{text, m_eol});
        return true;
    }
    size_t end = SectionEnd(header);
    size_t lastKey = header;
    for (size_t i = header + 1; i < end; ++i) {
        Parsed p = Parse(i);
        if (p.kind != Kind::Key)
            continue;
        if (NamesEqual(p.name, key)) {
            if (m_lines[i].text == text)
                return false;
            m_lines[i].text = text;
            return true;
        }
        lastKey = i;
    }
    EnsureLineEnd(lastKey);
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(lastKey + 1), Line{text, m_eol});
    return true;
}

bool ProfileDocument::DeleteKey(std::string_view section, std::string_view key) {
    size_t header = FindSection(section);
    if (header == std::string::npos)
        return false;
    key = Trim(key);
    size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
        Parsed p = Parse(i);
        if (p.kind == Kind::Key && NamesEqual(p.name, key)) {
            m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool ProfileDocument::DeleteSection(std::string_view section) {
    size_t header = FindSection(section);
    if (header == std::string::npos)
        return false;
    size_t end = SectionEnd(header);
    // A UTF-8 mark at the start of the file stays with the file.
    bool bKeepBom = header == 0 && m_lines[0].text.substr(0, kUtf8Bom.size()) == kUtf8Bom;
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(header),
                  m_lines.begin() + static_cast<std::ptrdiff_t>(end));
    if (bKeepBom) {
        if (m_lines.empty())
            m_lines.push_back(Line{std::string(kUtf8Bom), ""});
        else
            m_lines[0].text.insert(0, kUtf8Bom);
    }
    return true;
}

std::string ProfileDocument::Text() const {
    std::string out;
    for (const Line& line : m_lines) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

}  // namespace platform
