// The text of a profile (INI) file as its lines, with the Windows rules for
// reading it and edits that keep every other line byte for byte. Text is
// narrow: in the ANSI code page, or UTF-8 (see profile_encoding.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class ProfileDocument {
public:
    // Splits the text into lines; CR LF, LF and lone CR line ends are all
    // kept as they were. bUtf8: the text is UTF-8, not in the ANSI code page.
    explicit ProfileDocument(std::string_view text, bool bUtf8 = false);

    // The value of the first matching key in the first matching section
    // (names compared without regard to letter case, blanks trimmed, a
    // value in matching quotes unquoted). False when there is none.
    bool FindValue(std::string_view section, std::string_view key, std::string* pValue) const;
    // Section names, in file order.
    std::vector<std::string> SectionNames() const;
    // Key names of the first matching section, in file order.
    std::vector<std::string> KeyNames(std::string_view section) const;

    // Edits. Each returns true when the text changed.
    // Replaces the key's line, or adds the key after the section's last key,
    // or adds the section at the end.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);
    bool DeleteKey(std::string_view section, std::string_view key);
    // Removes the section's header and every line up to the next section.
    bool DeleteSection(std::string_view section);

    std::string Text() const;

private:
    struct Line {
        std::string text;  // without its line end
        std::string eol;   // "\r\n", "\n", "\r", or empty for a last line without one
    };
    enum class Kind { Other, Section, Key };
    struct Parsed {
        Kind kind = Kind::Other;
        std::string_view name;
        std::string_view value;
    };

    Parsed Parse(size_t index) const;
    // Index of the first header of the section, or npos.
    size_t FindSection(std::string_view section) const;
    // One past the last line of the section that starts at header index.
    size_t SectionEnd(size_t header) const;
    void EnsureLineEnd(size_t index);

    bool NamesEqual(std::string_view a, std::string_view b) const;

    std::vector<Line> m_lines;
    bool m_bUtf8;
    std::string m_eol;  // line end for new lines: the file's own, else CR LF
};

}  // namespace platform
