#include "engine/settings/ini_file.h"

#include <algorithm>

namespace ferrovin {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(),
                      [&](char x, char y) { return lower(static_cast<unsigned char>(x))
                                                   == lower(static_cast<unsigned char>(y)); });
}

bool isComment(std::string_view content)
{
    const auto t = trim(content);
    return !t.empty() && t.front() == ';';
}

std::optional<std::string_view> sectionName(std::string_view content)
{
    const auto t = trim(content);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trim(t.substr(1, close - 1));
}

struct Entry {
    std::string_view key;
    std::size_t equals = 0;  // position of '=' in the line
};

std::optional<Entry> entryOf(std::string_view content)
{
    if (isComment(content) || sectionName(content))
        return std::nullopt;
    const auto equals = content.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    const auto key = trim(content.substr(0, equals));
    if (key.empty())
        return std::nullopt;
    return Entry{key, equals};
}

std::string unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

} // namespace

IniFile IniFile::parse(std::string_view text)
{
    IniFile file;
    if (text.starts_with(kUtf8Bom)) {
        file.m_bom = kUtf8Bom;
        text.remove_prefix(kUtf8Bom.size());
    }
    while (!text.empty()) {
        const auto newline = text.find('\n');
        if (newline == std::string_view::npos) {
            file.m_lines.push_back({std::string(text), ""});
            break;
        }
        const bool crlf = newline > 0 && text[newline - 1] == '\r';
        const auto contentLength = crlf ? newline - 1 : newline;
        file.m_lines.push_back({std::string(text.substr(0, contentLength)), crlf ? "\r\n" : "\n"});
        text.remove_prefix(newline + 1);
    }
    return file;
}

std::optional<std::size_t> IniFile::findSection(std::string_view section) const
{
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const auto name = sectionName(m_lines[i].content);
        if (name && equalsIgnoringCase(*name, section))
            return i;
    }
    return std::nullopt;
}

std::size_t IniFile::sectionEnd(std::size_t header) const
{
    std::size_t i = header + 1;
    while (i < m_lines.size() && !sectionName(m_lines[i].content))
        ++i;
    return i;
}

std::optional<std::size_t> IniFile::findKey(std::size_t header, std::string_view key) const
{
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        const auto entry = entryOf(m_lines[i].content);
        if (entry && equalsIgnoringCase(entry->key, key))
            return i;
    }
    return std::nullopt;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const
{
    const auto header = findSection(section);
    if (!header)
        return std::nullopt;
    const auto line = findKey(*header, key);
    if (!line)
        return std::nullopt;
    const std::string_view content = m_lines[*line].content;
    return unquote(trim(content.substr(entryOf(content)->equals + 1)));
}

std::string IniFile::newLineEnding() const
{
    for (const Line& line : m_lines) {
        if (!line.eol.empty())
            return line.eol;
    }
    return "\n";
}

void IniFile::setValue(std::string_view section, std::string_view key, std::string_view value)
{
    const std::string eol = newLineEnding();
    const std::string entryLine = std::string(key) + "=" + std::string(value);

    const auto header = findSection(section);
    if (!header) {
        if (!m_lines.empty() && m_lines.back().eol.empty())
            m_lines.back().eol = eol;
        // Appended piece by piece: '"[" + text' draws a false GCC 12 -Wrestrict warning.
        std::string header = "[";
        header += section;
        header += ']';
        m_lines.push_back({header, eol});
        m_lines.push_back({entryLine, eol});
        return;
    }

    if (const auto line = findKey(*header, key)) {
        std::string& content = m_lines[*line].content;
        const auto equals = entryOf(content)->equals;
        const auto valueStart = content.find_first_not_of(kBlanks, equals + 1);
        // Keep everything up to the old value: the key's spelling and its spacing.
        content.resize(valueStart == std::string::npos ? content.size() : valueStart);
        content += value;
        return;
    }

    std::size_t last = *header;
    const std::size_t end = sectionEnd(*header);
    for (std::size_t i = *header + 1; i < end; ++i) {
        if (!trim(m_lines[i].content).empty())
            last = i;
    }
    if (m_lines[last].eol.empty())
        m_lines[last].eol = eol;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(last + 1), Line{entryLine, eol});
}

std::string IniFile::text() const
{
    std::string out = m_bom;
    for (const Line& line : m_lines) {
        out += line.content;
        out += line.eol;
    }
    return out;
}

} // namespace ferrovin
