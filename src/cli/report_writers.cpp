#include "cli/report_writers.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "engine/search/progress_format.h"
#include "engine/search/search_run.h"

namespace ferrovin::cli {

namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i)
{
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;   // no overlong forms
        if (lead == 0xED)
            high = 0x9F;  // no encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return length;
}

void appendEscape(std::string& out, unsigned value)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", value);
    out += buffer;
}

std::string counted(std::int32_t count, const char* noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

} // namespace

std::string FormatSimilarity(double similarity)
{
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), similarity,
                                      std::chars_format::fixed, 1);
    return std::string(buffer.data(), result.ptr);
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            appendEscape(out, 0xDC00 + c);
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                appendEscape(out, c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

void WriteReport(std::ostream& out, ReportFormat format, const std::vector<ReportRow>& rows)
{
    switch (format) {
    case ReportFormat::Tsv:
        for (const ReportRow& row : rows)
            out << row.Original << '\t' << row.Duplicate << '\t' << FormatSimilarity(row.Similarity) << '\n';
        break;
    case ReportFormat::Csv:
        for (const ReportRow& row : rows)
            out << CsvField(row.Original) << ',' << CsvField(row.Duplicate) << ','
                << FormatSimilarity(row.Similarity) << '\n';
        break;
    case ReportFormat::Json:
        if (rows.empty()) {
            out << "[]\n";
            break;
        }
        out << "[\n";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            out << "  {\"original\": " << JsonString(rows[i].Original)
                << ", \"duplicate\": " << JsonString(rows[i].Duplicate)
                << ", \"similarity\": " << FormatSimilarity(rows[i].Similarity) << '}'
                << (i + 1 < rows.size() ? ",\n" : "\n");
        }
        out << "]\n";
        break;
    }
}

std::string ProgressText(const SearchProgress& counters, std::uint32_t elapsedMilliseconds)
{
    const std::string elapsed = FormatElapsed(elapsedMilliseconds);
    if (counters.total == 0)
        return "Catalogued " + counted(counters.catalogued, "picture") + ", " + elapsed;
    const double rate = elapsedMilliseconds > 0 ? counters.analysed * 1000.0 / elapsedMilliseconds : 0.0;
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.0f", rate);
    return "Analysed " + std::to_string(counters.analysed) + " / " + counted(counters.total, "picture") + ", "
        + counted(counters.pairs, "pair") + ", " + elapsed + ", " + rateText + " pictures/s";
}

void WritePassedOver(std::ostream& out, const std::vector<PassedOver>& items, bool verbose)
{
    struct KindLine {
        PassedOver::Kind kind;
        const char* label;
        bool withReason;
    };
    static constexpr std::array<KindLine, 3> kLines{{
        {PassedOver::Kind::UnreadableFile, "Files that could not be read: ", true},
        {PassedOver::Kind::UndecodablePicture, "Pictures that could not be decoded: ", false},
        {PassedOver::Kind::UnlistableFolder, "Folders that could not be listed: ", false},
    }};
    if (verbose) {
        for (const PassedOver& item : items)
            out << item.Path << (item.Reason.empty() ? "" : ": ") << item.Reason << '\n';
    }
    for (const KindLine& line : kLines) {
        std::int64_t count = 0;
        const PassedOver* first = nullptr;
        for (const PassedOver& item : items) {
            if (item.What != line.kind)
                continue;
            if (count++ == 0)
                first = &item;
        }
        if (count == 0)
            continue;
        out << line.label << FormatGroupedCount(count, ",");
        if (line.withReason && !first->Reason.empty())
            out << " (" << first->Reason << ')';
        out << '\n';
    }
}

} // namespace ferrovin::cli
