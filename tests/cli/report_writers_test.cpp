#include <gtest/gtest.h>

#include <sstream>

#include "cli/report_writers.h"

namespace ferrovin::cli {
namespace {

// Minimal readers, enough to check that what the writers produce reads back.
std::vector<std::vector<std::string>> readCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\n') {
            rows.emplace_back(1);
        } else {
            field += c;
        }
    }
    rows.pop_back();  // after the last line break
    return rows;
}

// Reads a JSON string literal at `i` back into bytes (\udcXX gives the byte XX + 0x80 - 0x80).
std::string readJsonString(const std::string& text, std::size_t& i)
{
    std::string out;
    ++i;  // opening quote
    while (text[i] != '"') {
        if (text[i] != '\\') {
            out += text[i++];
            continue;
        }
        const char e = text[i + 1];
        i += 2;
        switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
            const unsigned value = static_cast<unsigned>(std::stoul(text.substr(i, 4), nullptr, 16));
            i += 4;
            EXPECT_TRUE(value < 0x80 || (value >= 0xDC80 && value <= 0xDCFF)) << value;
            out += static_cast<char>(value >= 0xDC00 ? value - 0xDC00 : value);
            break;
        }
        default: out += e;
        }
    }
    ++i;
    return out;
}

const std::vector<ReportRow> kRows = {
    {"/p/a.jpg", "/p/b.jpg", 100.0},
    {"/p/with,comma \"quoted\".jpg", "/p/line\nbreak\r.png", 60.800000000000004},
    {"/p/caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7.jpg", "/p/latin1 caf\xE9 \xC0\xAF \xED\xA0\x80.jpg", 1.0},
    {"/p/ctl\x01\x7F\\.gif", "/p/tab\there.bmp", 99.95},
};

TEST(ReportWriters, similarityHasOneDecimalAndAPoint)
{
    EXPECT_EQ(FormatSimilarity(100.0), "100.0");
    EXPECT_EQ(FormatSimilarity(1.0), "1.0");
    EXPECT_EQ(FormatSimilarity(60.800000000000004), "60.8");
    EXPECT_EQ(FormatSimilarity(0.8 * 2 + 59.2), "60.8");
}

TEST(ReportWriters, progressCountsOneInTheSingular)
{
    struct Case {
        SearchProgress counters;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, "Catalogued 0 pictures, 00:00:02"},
        {{1, 0, 0, 0}, "Catalogued 1 picture, 00:00:02"},
        {{2, 0, 0, 0}, "Catalogued 2 pictures, 00:00:02"},
        {{1, 1, 1, 0}, "Analysed 1 / 1 picture, 0 pairs, 00:00:02, 0 pictures/s"},
        {{9, 6, 9, 1}, "Analysed 6 / 9 pictures, 1 pair, 00:00:02, 3 pictures/s"},
        {{9, 9, 9, 2}, "Analysed 9 / 9 pictures, 2 pairs, 00:00:02, 4 pictures/s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressText(c.counters, 2000), c.text);
}

TEST(ReportWriters, tsvIsOneLinePerPairInTableOrder)
{
    std::ostringstream out;
    WriteReport(out, ReportFormat::Tsv, {kRows[0], {"/q/x.png", "/q/y.png", 60.8}});
    EXPECT_EQ(out.str(), "/p/a.jpg\t/p/b.jpg\t100.0\n/q/x.png\t/q/y.png\t60.8\n");
}

TEST(ReportWriters, csvReadsBackToTheSameFields)
{
    std::ostringstream out;
    WriteReport(out, ReportFormat::Csv, kRows);
    const auto rows = readCsv(out.str());
    ASSERT_EQ(rows.size(), kRows.size());
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        EXPECT_EQ(rows[i], (std::vector<std::string>{kRows[i].Original, kRows[i].Duplicate,
                                                     FormatSimilarity(kRows[i].Similarity)}))
            << i;
    }
    EXPECT_EQ(CsvField("plain name.jpg"), "plain name.jpg");
}

TEST(ReportWriters, jsonIsValidAndRestoresTheExactBytes)
{
    std::ostringstream out;
    WriteReport(out, ReportFormat::Json, kRows);
    const std::string text = out.str();
    // Only printable ASCII and valid UTF-8 leave the writer.
    for (unsigned char c : text)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F)) << int(c);
    std::size_t i = 0;
    ASSERT_EQ(text.substr(0, 2), "[\n");
    for (const ReportRow& row : kRows) {
        i = text.find('{', i);
        ASSERT_NE(i, std::string::npos);
        i = text.find("\"original\": ", i) + 12;
        EXPECT_EQ(readJsonString(text, i), row.Original);
        i = text.find("\"duplicate\": ", i) + 13;
        EXPECT_EQ(readJsonString(text, i), row.Duplicate);
        i = text.find("\"similarity\": ", i) + 14;
        EXPECT_EQ(text.substr(i, text.find('}', i) - i), FormatSimilarity(row.Similarity));
    }
    EXPECT_EQ(text.substr(text.size() - 2), "]\n");

    std::ostringstream empty;
    WriteReport(empty, ReportFormat::Json, {});
    EXPECT_EQ(empty.str(), "[]\n");
}

} // namespace
} // namespace ferrovin::cli
