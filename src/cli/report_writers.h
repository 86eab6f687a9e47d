#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "engine/search/search_observer.h"

namespace ferrovin::cli {

struct ReportRow {
    std::string Original;
    std::string Duplicate;
    double Similarity = 0.0;
};

// Writes the pairs in table order. tsv: ORIGINAL<TAB>DUPLICATE<TAB>SIMILARITY,
// no header, paths as they stand. csv: the same three columns, no header,
// RFC 4180 quoting. json: an array of {"original", "duplicate", "similarity"}
// objects, one per line. Lines end in "\n".
void WriteReport(std::ostream& out, ReportFormat format, const std::vector<ReportRow>& rows);

// One decimal, "." as separator, whatever the locale.
std::string FormatSimilarity(double similarity);

// RFC 4180: quoted (quotes doubled) when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& text);

// A JSON string literal. Valid UTF-8 passes through; each byte that is not part
// of a valid UTF-8 sequence becomes \udcXX (the lone low surrogate U+DC80 +
// byte - 0x80 for bytes 0x80-0xFF), the convention that lets a reader restore
// the exact bytes of a file name.
std::string JsonString(const std::string& text);

// The line that shows a running search on a terminal: "Catalogued 1 picture,
// 00:00:01" during the folder scan, then "Analysed 3 / 10 pictures, 1 pair,
// 00:00:02, 1500 pictures/s".
std::string ProgressText(const SearchProgress& counters, std::uint32_t elapsedMilliseconds);

// What the search passed over, after the summary: with `verbose` one
// "PATH: REASON" line per item as given, then one line per kind that occurred
// with its count ("Files that could not be read: 2 (Permission denied)", the
// first file's reason). Nothing at all when `items` is empty.
void WritePassedOver(std::ostream& out, const std::vector<PassedOver>& items, bool verbose);

} // namespace ferrovin::cli
