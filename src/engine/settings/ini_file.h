#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrovin {

// An INI text that can be queried and edited without disturbing what it does not
// touch: every line keeps its bytes and its own line ending ("\r\n", "\n" or none).
//
// The format, as the common profile-file readers understand it:
// - "[Name]" opens a section (blanks around the brackets and the name ignored);
// - "Key=Value" is an entry; blanks around key and value are ignored, and a value
//   wrapped in one pair of matching quotes loses them;
// - lines starting with ';' and lines without '=' carry no entry;
// - section and key names match without regard to ASCII letter case, and the
//   first matching section and the first matching key in it are the ones used;
// - entries above the first section header belong to no section.
class IniFile final {
public:
    static IniFile parse(std::string_view text);

    // The value of `key` in `section`, or nothing when either is missing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // Replaces the value of an existing entry in place (its key spelling and the
    // blanks before the value are kept), or adds "key=value" after the last
    // non-blank line of the section, or appends the section with the entry.
    void setValue(std::string_view section, std::string_view key, std::string_view value);

    std::string text() const;

private:
    struct Line {
        std::string content;  // without the line ending
        std::string eol;      // "\r\n", "\n", or "" for a last line without one
    };

    // Index of the first line of the section's header, or nothing.
    std::optional<std::size_t> findSection(std::string_view section) const;
    // End of the section that starts at `header`: index of the next header or size().
    std::size_t sectionEnd(std::size_t header) const;
    std::optional<std::size_t> findKey(std::size_t header, std::string_view key) const;
    std::string newLineEnding() const;

    std::string m_bom;  // a UTF-8 byte-order mark, kept but not part of line 1
    std::vector<Line> m_lines;
};

} // namespace ferrovin
