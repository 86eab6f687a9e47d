#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

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

} // namespace ferrovin::cli
