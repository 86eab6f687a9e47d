// Matching only, on signatures drawn like those of photographs: each picture
// keeps 250 distinct positions, each (row, column, sign) drawn independently
// with the frequency measured among real photo-like pictures (the table
// signature-token-counts.tsv), which reproduces how much unrelated photos
// overlap; a few percent are near-duplicates made by perturbing an earlier
// signature.
//
// For each size, the whole matching step of a search (catalogue, analysis
// pipeline handing over stored signatures, indexed matcher) runs on 1 and on
// 2 threads, each in a process of its own, and reports wall and processor
// time, pictures per second, the pairs (which must agree), the peak resident
// memory of that process, and the ratio of the matching time to the bare
// decodes of as many 12-megapixel JPEGs at 1/8 scale on as many threads,
// measured in the same run on one generated photo.
//
//   bench_matching [PICTURES...] [--threads LIST] [--turned] [--plain N] [--counts FILE]
//   defaults: 200000, threads 1,2, no plain-loop check, the shared data table
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/catalogue/catalogue.h"
#include "engine/search/analysis_pipeline.h"
#include "engine/search/fast_matcher.h"
#include "engine/search/pair_matching.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

using namespace ferrovin;

namespace {

using Kept = std::vector<std::pair<int, bool>>;  // (X * 128 + Y, negative)

class SignatureMaker {
public:
    // Reads "row column sign count" lines; '#' starts a comment, the first
    // other line names the columns.
    explicit SignatureMaker(const std::string& countsFile)
    {
        std::ifstream in(countsFile);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", countsFile.c_str());
            std::exit(1);
        }
        std::string line;
        bool named = false;
        double sum = 0.0;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            if (!named) {
                named = true;
                continue;
            }
            std::istringstream fields(line);
            int row = 0, column = 0;
            std::string sign;
            double count = 0;
            fields >> row >> column >> sign >> count;
            if (!fields || (row == 0 && column == 0) || count <= 0)
                continue;
            sum += count;
            m_cdf.push_back(sum);
            m_tokens.emplace_back(row * 128 + column, sign == "-");
        }
        for (double& value : m_cdf)
            value /= sum;
    }

    std::pair<int, bool> token(std::mt19937& rng)
    {
        const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        const auto at = std::lower_bound(m_cdf.begin(), m_cdf.end(), u) - m_cdf.begin();
        return m_tokens[static_cast<std::size_t>(std::min<std::ptrdiff_t>(at, std::ptrdiff_t(m_tokens.size()) - 1))];
    }

    Kept fresh(std::mt19937& rng, std::vector<std::uint8_t>& used)
    {
        Kept kept;
        while (kept.size() < 250) {
            const auto slot = token(rng);
            if (used[static_cast<std::size_t>(slot.first)])
                continue;  // one sign per position
            used[static_cast<std::size_t>(slot.first)] = 1;
            kept.push_back(slot);
        }
        for (const auto& slot : kept)
            used[static_cast<std::size_t>(slot.first)] = 0;
        return kept;
    }

    Kept variant(Kept kept, std::mt19937& rng, int moved, int flipped, std::vector<std::uint8_t>& used)
    {
        std::shuffle(kept.begin(), kept.end(), rng);
        for (const auto& slot : kept)
            used[static_cast<std::size_t>(slot.first)] = 1;
        for (int i = 0; i < moved; ++i) {
            auto slot = token(rng);
            while (used[static_cast<std::size_t>(slot.first)])
                slot = token(rng);
            used[static_cast<std::size_t>(slot.first)] = 1;
            kept[static_cast<std::size_t>(i)] = slot;
        }
        for (int i = moved; i < moved + flipped; ++i)
            kept[static_cast<std::size_t>(i)].second = !kept[static_cast<std::size_t>(i)].second;
        for (const auto& slot : kept)
            used[static_cast<std::size_t>(slot.first)] = 0;
        return kept;
    }

private:
    std::vector<double> m_cdf;
    std::vector<std::pair<int, bool>> m_tokens;
};

// One picture as the signature file holds it: its shape, then its 250 kept
// positions as position * 2 + (1 when negative), 0 for an empty slot.
constexpr int kShapes = 5;
constexpr std::pair<int, int> kShapeSizes[kShapes] = {{600, 800}, {800, 600}, {750, 1000}, {480, 640}, {768, 1024}};
struct StoredSignature {
    std::uint8_t Shape = 0;
    std::uint16_t Tokens[250] = {};
};

void toAnalysis(const StoredSignature& stored, std::int32_t index, AnalysedPicture& picture)
{
    picture = AnalysedPicture{};
    picture.Decoded = true;
    picture.Height = kShapeSizes[stored.Shape].first;
    picture.Width = kShapeSizes[stored.Shape].second;
    for (int b = 0; b < 4; ++b)
        picture.PreBuffer[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(index >> (8 * b));
    // Row-major within each sign, as extraction lays them out.
    std::uint16_t sorted[250];
    std::copy(std::begin(stored.Tokens), std::end(stored.Tokens), sorted);
    std::sort(std::begin(sorted), std::end(sorted));
    std::size_t pos = 0;
    std::size_t neg = 0;
    for (std::uint16_t token : sorted) {
        if (token == 0)
            continue;
        const int p = token >> 1;
        ((token & 1) ? picture.Neg[neg++] : picture.Pos[pos++]) = TWaveletPoint{p / 128, p % 128};
    }
}

StoredSignature fromKept(const Kept& kept, std::uint8_t shape)
{
    StoredSignature stored;
    stored.Shape = shape;
    for (std::size_t i = 0; i < kept.size() && i < 250; ++i)
        stored.Tokens[i] = static_cast<std::uint16_t>(kept[i].first * 2 + (kept[i].second ? 1 : 0));
    return stored;
}

// Writes `count` signatures to `path`; runs in a child process, so that the
// signatures held while drawing them do not count in the matching's memory.
void writeSignatures(int count, const std::string& countsFile, const std::string& path)
{
    std::mt19937 rng(2024);
    SignatureMaker maker(countsFile);
    std::vector<std::uint8_t> used(128 * 128, 0);
    std::vector<StoredSignature> made(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        const auto shape = static_cast<std::uint8_t>(rng() % kShapes);
        if (k > 0 && rng() % 100 < 4) {
            // A near-duplicate of an earlier picture, usually a recent one.
            const int back = 1 + static_cast<int>(rng() % std::min(k, rng() % 2 ? 50 : k));
            Kept base;
            for (std::uint16_t token : made[static_cast<std::size_t>(k - back)].Tokens)
                if (token != 0)
                    base.emplace_back(token >> 1, (token & 1) != 0);
            made[static_cast<std::size_t>(k)] = fromKept(
                maker.variant(base, rng, static_cast<int>(rng() % 80), static_cast<int>(rng() % 10), used), shape);
        } else {
            made[static_cast<std::size_t>(k)] = fromKept(maker.fresh(rng, used), shape);
        }
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(made.data(), sizeof(StoredSignature), made.size(), file) != made.size()
        || std::fclose(file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::_Exit(1);
    }
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct MatchRun {
    double Wall = 0;
    double Processor = 0;
    std::int64_t Pairs = 0;
    std::uint64_t PairsHash = 0;
    double PeakMegabytes = 0;
    bool Failed = false;
};

// The matching step of a search over the signature file, in this process.
MatchRun matchHere(int count, const std::string& path, int threads, bool turned)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::_Exit(1);
    }
    Catalogue catalogue;
    catalogue.Reset();
    catalogue.RegisterFolder("/home/someone/Pictures/2019/");
    char name[32];
    for (int k = 0; k < count; ++k) {
        std::snprintf(name, sizeof name, "IMG_%07d.JPG", k);
        TPicInfo& info = catalogue.CataloguePicture();
        info.FileName = name;
        info.Size = 3000000 + k;
    }
    catalogue.TrimAfterScan();
    catalogue.AllocatePairs();
    catalogue.SearchStopped = false;

    MatchingEnvironment environment;
    environment.Analyse = [fd](const std::string& file, AnalysisWorkspace&, AnalysedPicture& out) {
        const auto index = static_cast<std::int32_t>(std::stol(file.substr(file.size() - 11, 7)));
        StoredSignature stored;
        if (::pread(fd, &stored, sizeof stored, static_cast<off_t>(index) * static_cast<off_t>(sizeof stored))
            != static_cast<ssize_t>(sizeof stored))
            std::_Exit(1);
        toAnalysis(stored, index, out);
    };
    environment.FilesIdentical = [](const std::string&, const std::string&) { return false; };
    Settings settings;
    settings.MatchTurnedAndMirrored = turned;
    SearchObserver quiet;

    MatchRun run;
    const double processorStart = processorSeconds();
    const auto start = std::chrono::steady_clock::now();
    MatchPicturesFast(catalogue, settings, quiet, environment, threads);
    run.Wall = seconds(start);
    run.Processor = processorSeconds() - processorStart;
    run.Pairs = catalogue.LastPairIndex + 1;
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::int64_t i = 0; i < run.Pairs; ++i) {
        const TPicturePair& pair = catalogue.PicturePairs[static_cast<std::size_t>(i)];
        std::uint64_t similarity = 0;
        std::memcpy(&similarity, &pair.Similarity, sizeof similarity);
        for (std::uint64_t value : {std::uint64_t(pair.PicIndex1), std::uint64_t(pair.PicIndex2), similarity})
            hash = (hash ^ value) * 1099511628211ULL;
    }
    run.PairsHash = hash;
    ::close(fd);
    return run;
}

// The same in a child process, whose peak resident memory is then its own.
MatchRun matchInChild(int count, const std::string& path, int threads, bool turned)
{
    int channel[2];
    if (::pipe(channel) != 0)
        std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const MatchRun run = matchHere(count, path, threads, turned);
        if (::write(channel[1], &run, sizeof run) != static_cast<ssize_t>(sizeof run))
            std::_Exit(1);
        std::_Exit(0);
    }
    ::close(channel[1]);
    MatchRun run;
    const bool got = ::read(channel[0], &run, sizeof run) == static_cast<ssize_t>(sizeof run);
    ::close(channel[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.Failed = !got || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    run.PeakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

// A 12-megapixel photo-like JPEG (smooth shapes, gradients and grain, quality
// 90, 4:2:0) in memory.
std::vector<unsigned char> makeTwelveMegapixelJpeg()
{
    const int width = 4000;
    const int height = 3000;
    std::mt19937 rng(12);
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t grain = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            grain = grain * 1664525u + 1013904223u;
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            const double wave = 60.0 * std::sin(9.0 * u + 4.0 * v) + 40.0 * std::sin(23.0 * u * v + 3.0 * v);
            const int noise = static_cast<int>(grain >> 27) - 16;
            unsigned char* px = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            px[0] = static_cast<unsigned char>(std::clamp(120 + static_cast<int>(wave) + noise, 0, 255));
            px[1] = static_cast<unsigned char>(std::clamp(110 + static_cast<int>(wave * 0.7 + 30.0 * v) + noise, 0, 255));
            px[2] = static_cast<unsigned char>(std::clamp(100 + static_cast<int>(70.0 * u) - noise, 0, 255));
        }
    }
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(cinfo.next_scanline) * width * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

void decodeEighth(const std::vector<unsigned char>& jpeg)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> row(static_cast<std::size_t>(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

// Seconds per decode when `threads` threads decode side by side, each its own
// copy: the bare decode time of N pictures on that many threads is N times it.
double decodeSecondsEach(const std::vector<unsigned char>& jpeg, int threads, int perThread)
{
    std::vector<std::thread> team;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        team.emplace_back([&jpeg, perThread] {
            const std::vector<unsigned char> own = jpeg;
            for (int i = 0; i < perThread; ++i)
                decodeEighth(own);
        });
    for (std::thread& thread : team)
        thread.join();
    return seconds(start) / (static_cast<double>(threads) * perThread);
}

struct FastRun {
    double Seconds = 0;
    std::vector<TPicturePair> Pairs;
};

FastRun runPlain(int count, const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<AnalysedPicture> pictures(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        StoredSignature stored;
        if (::pread(fd, &stored, sizeof stored, static_cast<off_t>(k) * static_cast<off_t>(sizeof stored))
            != static_cast<ssize_t>(sizeof stored))
            std::exit(1);
        toAnalysis(stored, k, pictures[static_cast<std::size_t>(k)]);
    }
    ::close(fd);
    Catalogue catalogue;
    catalogue.Reset(count + 1000);
    catalogue.RegisterFolder("/bench/");
    for (int k = 0; k < count; ++k)
        catalogue.CataloguePicture().FileName = std::to_string(k);
    catalogue.TrimAfterScan();
    catalogue.AllocatePairs();
    catalogue.SearchStopped = false;
    MatchingEnvironment environment;
    environment.Analyse = [&](const std::string& file, AnalysisWorkspace&, AnalysedPicture& out) {
        out = pictures[std::stoul(file.substr(7))];
    };
    environment.FilesIdentical = [](const std::string&, const std::string&) { return false; };
    SearchObserver quiet;
    FastRun run;
    const auto start = std::chrono::steady_clock::now();
    MatchPictures(catalogue, Settings{}, quiet, environment);
    run.Seconds = seconds(start);
    run.Pairs.assign(catalogue.PicturePairs.begin(), catalogue.PicturePairs.begin() + (catalogue.LastPairIndex + 1));
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    std::vector<int> threadCounts{1, 2};
    bool turned = false;
    int plain = 0;
    std::string countsFile = FERROVIN_TOKEN_COUNTS;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--turned") {
            turned = true;
        } else if (argument == "--counts" && i + 1 < argc) {
            countsFile = argv[++i];
        } else if (argument == "--plain" && i + 1 < argc) {
            plain = std::atoi(argv[++i]);
        } else if (argument == "--threads" && i + 1 < argc) {
            threadCounts.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');)
                threadCounts.push_back(std::max(1, std::atoi(item.c_str())));
        } else {
            sizes.push_back(std::atoi(argument.c_str()));
        }
    }
    if (sizes.empty())
        sizes.push_back(200000);

    const std::vector<unsigned char> jpeg = makeTwelveMegapixelJpeg();
    std::vector<double> decodeEach;
    for (int threads : threadCounts)
        decodeEach.push_back(decodeSecondsEach(jpeg, threads, 24));
    std::printf("bare decode of a 12-megapixel JPEG (%.1f MB) at 1/8 scale:", static_cast<double>(jpeg.size()) / 1e6);
    for (std::size_t t = 0; t < threadCounts.size(); ++t)
        std::printf(" %.1f ms each on %d thread%s;", decodeEach[t] * 1e3, threadCounts[t],
                    threadCounts[t] == 1 ? "" : "s");
    std::printf("\n");

    for (int count : sizes) {
        const std::string path = "/tmp/ferrovin-bench-signatures-" + std::to_string(::getpid());
        const auto made = std::chrono::steady_clock::now();
        const pid_t writer = ::fork();
        if (writer == 0) {
            writeSignatures(count, countsFile, path);
            std::_Exit(0);
        }
        int status = 0;
        ::waitpid(writer, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
        std::printf("%d realistic signatures%s, drawn in %.1f s\n", count, turned ? " (turned matching on)" : "",
                    seconds(made));
        std::vector<MatchRun> runs;
        for (std::size_t t = 0; t < threadCounts.size(); ++t) {
            const MatchRun run = matchInChild(count, path, threadCounts[t], turned);
            runs.push_back(run);
            if (run.Failed) {
                std::printf("  %d thread(s): FAILED\n", threadCounts[t]);
                continue;
            }
            const double decodes = decodeEach[t] * count;
            std::printf("  %d thread%s: matching %.1f s wall, %.1f s processor, %.0f pictures/s, %lld pairs, "
                        "peak %.0f MB; bare decodes %.0f s, matching/decodes %.4f",
                        threadCounts[t], threadCounts[t] == 1 ? " " : "s", run.Wall, run.Processor,
                        count / run.Wall, static_cast<long long>(run.Pairs), run.PeakMegabytes, decodes,
                        run.Wall / decodes);
            if (t > 0)
                std::printf(", x%.2f faster than %d", runs[0].Wall / run.Wall, threadCounts[0]);
            std::printf("\n");
        }
        bool same = true;
        for (const MatchRun& run : runs)
            same = same && !run.Failed && run.Pairs == runs[0].Pairs && run.PairsHash == runs[0].PairsHash;
        std::printf("  pairs %s across thread counts\n", same ? "equal" : "DIFFER");
        if (plain > 0) {
            const int subset = std::min(plain, count);
            const FastRun reference = runPlain(subset, path);
            // The indexed matcher on the same first pictures, in a process of its own.
            const MatchRun indexed = matchInChild(subset, path, threadCounts.back(), false);
            std::uint64_t hash = 14695981039346656037ULL;
            for (const TPicturePair& pair : reference.Pairs) {
                std::uint64_t similarity = 0;
                std::memcpy(&similarity, &pair.Similarity, sizeof similarity);
                for (std::uint64_t value :
                     {std::uint64_t(pair.PicIndex1), std::uint64_t(pair.PicIndex2), similarity})
                    hash = (hash ^ value) * 1099511628211ULL;
            }
            std::printf("  first %d: plain loop %.1f s, %zu pairs, %s\n", subset, reference.Seconds,
                        reference.Pairs.size(),
                        !turned && hash == indexed.PairsHash ? "the indexed matcher's pairs" : "PAIRS DIFFER");
        }
        std::remove(path.c_str());
    }
    return 0;
}
