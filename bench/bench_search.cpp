// The whole search on a library shaped like a photo collection: 1 to 12
// megapixel pictures of smooth random shapes, 92 % JPEG (quality 60 to 95,
// 4:2:0, 4:2:2 or 4:4:4, one in ten progressive) and 8 % PNG of up to 4
// megapixels, a few percent of them re-encoded or copied near-duplicates.
// Reports the indexed search on 1 and 2 threads and the plain loop on 1,
// against the bare decodes alone (the floor any analysis has to pay: JPEG at
// the analysis' scale, PNG whole) spread over as many threads in the same run.
// The cache mode times instead a search without the signature cache, a first
// search filling a new cache and a second one of the unchanged library, and
// the size of the cache per picture.
//
//   bench_search [PICTURES [FOLDER [MODE]]] [--turned]
//   defaults 2000 /tmp/ferrovin-bench-photos matchers; MODE cache, generate,
//   or one of search1, search2, bare1, bare2 (a single run, for profiling),
//   or analysis: each picture's analysis and bare decode timed back to back
//   on one thread, so that a slow spell of the machine weighs on both alike
//
// --turned compares the indexed search on all threads with and without
// turned and mirrored matching instead.
//
// The library is generated once and reused (generation is slow); a smaller
// count uses the first pictures of a larger library.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <atomic>
#include <thread>

#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

#include "engine/catalogue/catalogue.h"
#include "engine/search/analysis_pipeline.h"
#include "engine/search/search_observer.h"
#include "engine/search/search_run.h"
#include "engine/settings/settings.h"

using namespace ferrovin;

namespace {

bool fileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

struct Picture {
    int Width = 0;
    int Height = 0;
    std::vector<unsigned char> Rgb;
};

// Smooth shapes over a gradient, plus a little grain; `shift` brightens it.
Picture makePhoto(std::uint32_t seed, int width, int height, int shift)
{
    std::mt19937 rng(seed);
    Picture picture{width, height, std::vector<unsigned char>(static_cast<std::size_t>(width) * height * 3)};
    struct Blob { double x, y, r; int c[3]; };
    std::vector<Blob> blobs(6 + rng() % 6);
    for (Blob& b : blobs) {
        b.x = std::uniform_real_distribution<double>(0, width)(rng);
        b.y = std::uniform_real_distribution<double>(0, height)(rng);
        b.r = std::uniform_real_distribution<double>(0.05, 0.4)(rng) * std::min(width, height);
        for (int& c : b.c)
            c = static_cast<int>(rng() % 256);
    }
    const int base[3] = {static_cast<int>(rng() % 200), static_cast<int>(rng() % 200), static_cast<int>(rng() % 200)};
    std::uint32_t grain = seed | 1;
    for (int y = 0; y < height; ++y) {
        unsigned char* row = picture.Rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            int c[3] = {base[0] + 55 * x / width, base[1] + 55 * y / height, base[2]};
            for (const Blob& b : blobs) {
                const double dx = x - b.x;
                const double dy = y - b.y;
                if (dx * dx + dy * dy < b.r * b.r)
                    for (int k = 0; k < 3; ++k)
                        c[k] = b.c[k];
            }
            grain ^= grain << 13;
            grain ^= grain >> 17;
            grain ^= grain << 5;
            const int noise = static_cast<int>(grain & 7) - 3;
            for (int k = 0; k < 3; ++k)
                row[x * 3 + k] = static_cast<unsigned char>(std::clamp(c[k] + noise + shift, 0, 255));
        }
    }
    return picture;
}

// How one picture of the library is stored.
struct Encoding {
    bool Png = false;
    int Quality = 85;
    int ChromaWidth = 2;   // horizontal chroma subsampling: 2, or 1 for none
    int ChromaHeight = 2;  // vertical: 2 or 1
    bool Progressive = false;
};

void writeJpeg(const std::string& path, const Picture& picture, const Encoding& encoding)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(picture.Width);
    cinfo.image_height = static_cast<JDIMENSION>(picture.Height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, encoding.Quality, TRUE);
    cinfo.comp_info[0].h_samp_factor = encoding.ChromaWidth;
    cinfo.comp_info[0].v_samp_factor = encoding.ChromaHeight;
    if (encoding.Progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.Rgb.data() + static_cast<std::size_t>(cinfo.next_scanline) * picture.Width * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

void writePng(const std::string& path, const Picture& picture)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (file == nullptr || png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
        std::perror(path.c_str());
        std::exit(1);
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.Width), static_cast<png_uint_32>(picture.Height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.Height; ++y)
        png_write_row(png, picture.Rgb.data() + static_cast<std::size_t>(y) * picture.Width * 3);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// What each picture of the library is, in a fixed sequence, so that any
// prefix of the library is the same whatever count first created it.
struct Planned {
    Encoding Stored;
    int Original = 0;  // the picture whose content it shows (itself, or an earlier one)
    bool Copy = false; // a byte-for-byte copy of Original
    int Shift = 0;     // brightening of the original's content
    int Width = 0;
    int Height = 0;
};

std::vector<Planned> planLibrary(int count)
{
    std::mt19937 rng(99);
    std::vector<Planned> plan(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Planned& p = plan[static_cast<std::size_t>(i)];
        const std::uint32_t kind = rng() % 100;
        const std::uint32_t back = 1 + rng() % 40;
        p.Original = i;
        if (i > 0 && kind < 4) {
            p.Original = i - static_cast<int>(std::min<std::uint32_t>(back, static_cast<std::uint32_t>(i)));
            p.Copy = kind == 0;
            p.Shift = kind == 1 ? 6 : 0;
        }
        const Planned& original = plan[static_cast<std::size_t>(p.Original)];
        if (p.Original != i) {
            // A near-duplicate keeps its original's shape and kind, at another quality.
            p.Stored = original.Stored;
            p.Stored.Quality = kind == 2 ? 60 : 92;
            p.Width = original.Width;
            p.Height = original.Height;
            continue;
        }
        p.Stored.Png = rng() % 100 < 8;
        const std::uint32_t megapixels = p.Stored.Png ? 1 + rng() % 4 : 1 + rng() % 12;
        p.Stored.Quality = 60 + static_cast<int>(rng() % 36);
        const std::uint32_t subsampling = rng() % 10;
        p.Stored.ChromaWidth = subsampling < 8 ? 2 : 1;   // 4:2:0 and 4:2:2, or 4:4:4
        p.Stored.ChromaHeight = subsampling < 6 ? 2 : 1;
        p.Stored.Progressive = rng() % 10 == 0;
        const double pixels = megapixels * 1.0e6;
        p.Width = static_cast<int>(std::sqrt(pixels * 4.0 / 3.0));
        p.Height = static_cast<int>(pixels / p.Width);
        if (rng() % 4 == 0)
            std::swap(p.Width, p.Height);
    }
    return plan;
}

std::string pictureName(int index, const Planned& planned)
{
    char name[32];
    std::snprintf(name, sizeof name, "pic%05d.%s", index, planned.Stored.Png ? "png" : "jpg");
    return name;
}

void ensureLibrary(const std::string& folder, const std::vector<Planned>& plan)
{
    ::mkdir(folder.c_str(), 0755);
    int made = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < static_cast<int>(plan.size()); ++i) {
        const Planned& p = plan[static_cast<std::size_t>(i)];
        const std::string path = folder + "/" + pictureName(i, p);
        if (fileExists(path))
            continue;
        if (p.Copy) {
            std::ifstream in(folder + "/" + pictureName(p.Original, plan[static_cast<std::size_t>(p.Original)]),
                             std::ios::binary);
            std::ofstream out(path, std::ios::binary);
            out << in.rdbuf();
        } else {
            const Picture picture = makePhoto(static_cast<std::uint32_t>(p.Original) + 1, p.Width, p.Height, p.Shift);
            if (p.Stored.Png)
                writePng(path, picture);
            else
                writeJpeg(path, picture, p.Stored);
        }
        if (++made % 50 == 0)
            std::fprintf(stderr, "\rgenerated %d pictures", made);
    }
    if (made > 0)
        std::fprintf(stderr, "\rgenerated %d pictures in %.0f s\n", made,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The decode the analysis cannot avoid: JPEG with the same scale rule and
// parameters, PNG whole to 8-bit samples.
void bareDecode(const std::string& path, bool png, const Settings& settings, std::vector<unsigned char>& row)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return;
    if (png) {
        png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(reader);
        if (setjmp(png_jmpbuf(reader))) {
            png_destroy_read_struct(&reader, &info, nullptr);
            std::fclose(file);
            return;
        }
        png_init_io(reader, file);
        png_read_info(reader, info);
        png_set_strip_16(reader);
        png_set_packing(reader);
        const int passes = png_set_interlace_handling(reader);
        png_read_update_info(reader, info);
        row.resize(png_get_rowbytes(reader, info));
        for (int pass = 0; pass < passes; ++pass)
            for (png_uint_32 y = 0; y < png_get_image_height(reader, info); ++y)
                png_read_row(reader, row.data(), nullptr);
        png_destroy_read_struct(&reader, &info, nullptr);
        std::fclose(file);
        return;
    }
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    const auto w = static_cast<std::int64_t>(cinfo.image_width);
    const auto h = static_cast<std::int64_t>(cinfo.image_height);
    unsigned denominator = 1;
    if (h > std::max(settings.MinPicHeight, 1000) && w > std::max(settings.MinPicWidth, 1000))
        denominator = 8;
    else if (h > std::max(settings.MinPicHeight, 500) && w > std::max(settings.MinPicWidth, 500))
        denominator = 4;
    cinfo.scale_num = 1;
    cinfo.scale_denom = denominator;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.two_pass_quantize = FALSE;
    cinfo.dither_mode = JDITHER_ORDERED;
    cinfo.do_block_smoothing = TRUE;
    jpeg_start_decompress(&cinfo);
    row.resize(static_cast<std::size_t>(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
}

struct Bare {
    double Wall = 0;
    double Processor = 0;
};

// The bare decodes of the library's pictures, spread over `threads` threads
// taking the next picture in turn.
Bare bareDecodes(const std::string& folder, const std::vector<Planned>& plan, const Settings& settings, int threads)
{
    std::atomic<int> next{0};
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    std::vector<std::thread> team;
    for (int t = 0; t < threads; ++t)
        team.emplace_back([&] {
            std::vector<unsigned char> row;
            for (int i = next++; i < static_cast<int>(plan.size()); i = next++)
                bareDecode(folder + "/" + pictureName(i, plan[static_cast<std::size_t>(i)]),
                           plan[static_cast<std::size_t>(i)].Stored.Png, settings, row);
        });
    for (std::thread& thread : team)
        thread.join();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count(),
            static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC};
}

double threadSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The analysis of every picture against its bare decode, alternating which
// goes first, by file type; processor time of the one thread doing both.
void timeAnalysis(const std::string& folder, const std::vector<Planned>& plan, const Settings& settings)
{
    AnalysisWorkspace workspace;
    AnalysedPicture analysed;
    std::vector<unsigned char> row;
    double bare[2] = {0, 0}, analysis[2] = {0, 0};
    int counts[2] = {0, 0};
    for (int i = 0; i < static_cast<int>(plan.size()); ++i) {
        const bool png = plan[static_cast<std::size_t>(i)].Stored.Png;
        const std::string path = folder + "/" + pictureName(i, plan[static_cast<std::size_t>(i)]);
        for (int turn = 0; turn < 2; ++turn) {
            const double start = threadSeconds();
            if ((turn == 0) == (i % 2 == 0)) {
                bareDecode(path, png, settings, row);
                bare[png] += threadSeconds() - start;
            } else {
                AnalysePicture(path, settings, workspace, analysed);
                analysis[png] += threadSeconds() - start;
            }
        }
        ++counts[png];
    }
    for (int png = 0; png < 2; ++png)
        std::printf("%4d %s: analysis %.2f s, bare decodes %.2f s processor: %.3f\n", counts[png],
                    png ? "PNG " : "JPEG", analysis[png], bare[png], analysis[png] / bare[png]);
    std::printf("all : analysis / bare decodes %.3f\n", (analysis[0] + analysis[1]) / (bare[0] + bare[1]));
}

struct Timing {
    double Wall = 0;
    double Processor = 0;
    std::int32_t Pictures = 0;
    std::int32_t Pairs = 0;
};

Timing timeSearch(const std::string& folder, const Settings& settings, int threads, bool reference,
                  const std::string& cacheFile = {}, std::vector<TPicturePair>* pairs = nullptr)
{
    Catalogue catalogue;
    SearchObserver quiet;
    RunOptions options;
    options.Threads = threads;
    options.UseReferenceMatcher = reference;
    options.Cache.File = cacheFile;
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    const SearchSummary summary = RunSearch(catalogue, settings, {folder}, quiet, options);
    Timing timing;
    timing.Processor = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    timing.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    timing.Pictures = summary.FilesScanned;
    timing.Pairs = summary.PairCount;
    if (!summary.CacheWarning.empty())
        std::printf("cache warning: %s\n", summary.CacheWarning.c_str());
    if (pairs != nullptr)
        pairs->assign(catalogue.PicturePairs.begin(), catalogue.PicturePairs.begin() + summary.PairCount);
    return timing;
}

void printTiming(const char* name, const Timing& t)
{
    std::printf("%s: %.2f s wall, %.2f s processor, %.1f pictures/s, %d pairs\n", name, t.Wall, t.Processor,
                t.Pictures / t.Wall, t.Pairs);
}

// Without the cache, then filling a new one, then using it, all on 2 threads.
int timeCache(const std::string& folder, int count)
{
    const Settings settings;
    const std::string cacheFile = folder + "-signatures.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((cacheFile + suffix).c_str());
    std::vector<TPicturePair> uncachedPairs, firstPairs, secondPairs;
    const Timing uncached = timeSearch(folder, settings, 2, false, {}, &uncachedPairs);
    const Timing first = timeSearch(folder, settings, 2, false, cacheFile, &firstPairs);
    const Timing second = timeSearch(folder, settings, 2, false, cacheFile, &secondPairs);
    printTiming("without cache        ", uncached);
    printTiming("first, filling cache ", first);
    printTiming("second, cache in use ", second);
    struct stat info {};
    const double bytes = ::stat(cacheFile.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0.0;
    const bool same = firstPairs == uncachedPairs && secondPairs == uncachedPairs;
    std::printf("second / first wall time: %.4f (limit 0.05); first / uncached: %.3f\n"
                "cache: %.0f bytes for %d pictures, %.0f bytes per picture (limit 1200); pairs identical: %s\n",
                second.Wall / first.Wall, first.Wall / uncached.Wall, bytes, count, bytes / count,
                same ? "yes" : "NO");
    return same ? 0 : 1;
}

} // namespace

// The best of two runs: the machine may be shared.
Timing bestOfTwo(const std::string& folder, const Settings& settings, int threads, bool reference)
{
    Timing t = timeSearch(folder, settings, threads, reference);
    const Timing again = timeSearch(folder, settings, threads, reference);
    return again.Wall < t.Wall ? again : t;
}

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    bool turned = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--turned")
            turned = true;
        else
            positional.emplace_back(argv[i]);
    }
    const int count = positional.size() > 0 ? std::max(1, std::atoi(positional[0].c_str())) : 2000;
    const std::string library = positional.size() > 1 ? positional[1] : "/tmp/ferrovin-bench-photos";
    const std::string mode = positional.size() > 2 ? positional[2] : "matchers";
    const std::vector<Planned> plan = planLibrary(count);
    ensureLibrary(library, plan);

    // Search a folder holding exactly the first `count` pictures (links, no copies).
    const std::string folder = library + "-" + std::to_string(count);
    ::mkdir(folder.c_str(), 0755);
    for (int i = 0; i < count; ++i) {
        const std::string name = pictureName(i, plan[static_cast<std::size_t>(i)]);
        const std::string link = folder + "/" + name;
        if (!fileExists(link) && ::symlink((library + "/" + name).c_str(), link.c_str()) != 0)
            std::perror(link.c_str());
    }

    if (mode == "generate")
        return 0;
    if (mode == "cache")
        return timeCache(folder, count);
    if (turned) {
        Settings with;
        with.MatchTurnedAndMirrored = true;
        const Timing off = bestOfTwo(folder, Settings{}, 0, false);
        const Timing on = bestOfTwo(folder, with, 0, false);
        std::printf("%d pictures, all threads: %.2f s without turned matching (%d pairs), %.2f s with it "
                    "(%d pairs): x%.3f wall, x%.3f processor\n",
                    count, off.Wall, off.Pairs, on.Wall, on.Pairs, on.Wall / off.Wall, on.Processor / off.Processor);
        return 0;
    }

    const Settings settings;
    if (mode == "analysis") {
        timeAnalysis(folder, plan, settings);
        return 0;
    }
    if (mode == "search1" || mode == "search2" || mode == "bare1" || mode == "bare2") {
        const int threads = mode.back() - '0';
        if (mode.starts_with("bare")) {
            const Bare bare = bareDecodes(folder, plan, settings, threads);
            std::printf("bare decodes, %d threads: %.2f s wall, %.2f s processor\n", threads, bare.Wall,
                        bare.Processor);
        } else {
            printTiming(threads == 1 ? "indexed, 1 thread " : "indexed, 2 threads",
                        timeSearch(folder, settings, threads, false));
        }
        return 0;
    }
    // Bare decodes and searches alternate in close pairs, three rounds with the
    // order swapped each round; the machine is shared, and its slow spells
    // last longer than one run. Each figure is the best of its three, and the
    // ratios of each round's neighbouring runs are reported as well.
    constexpr int kRounds = 3;
    Bare best1{1e30, 1e30}, best2{1e30, 1e30};
    Timing search1{1e30, 1e30}, search2{1e30, 1e30};
    std::vector<double> pairRatio1, pairRatio2;
    for (int round = 0; round < kRounds; ++round) {
        for (const int threads : {1, 2}) {
            Bare bare;
            Timing search;
            if (round % 2 == 0) {
                bare = bareDecodes(folder, plan, settings, threads);
                search = timeSearch(folder, settings, threads, false);
            } else {
                search = timeSearch(folder, settings, threads, false);
                bare = bareDecodes(folder, plan, settings, threads);
            }
            Bare& bestBare = threads == 1 ? best1 : best2;
            Timing& bestSearch = threads == 1 ? search1 : search2;
            bestBare.Wall = std::min(bestBare.Wall, bare.Wall);
            bestBare.Processor = std::min(bestBare.Processor, bare.Processor);
            bestSearch.Wall = std::min(bestSearch.Wall, search.Wall);
            bestSearch.Processor = std::min(bestSearch.Processor, search.Processor);
            bestSearch.Pictures = search.Pictures;
            bestSearch.Pairs = search.Pairs;
            (threads == 1 ? pairRatio1 : pairRatio2).push_back(search.Wall / bare.Wall);
        }
    }
    std::printf("%d pictures; bare decodes: %.2f s wall on 1 thread, %.2f s wall on 2 threads "
                "(%.2f and %.2f s processor), best of %d\n",
                count, best1.Wall, best2.Wall, best1.Processor, best2.Processor, kRounds);
    for (const auto& [name, t, floor, ratios] : {std::tuple{"indexed, 1 thread ", search1, best1, pairRatio1},
                                                 std::tuple{"indexed, 2 threads", search2, best2, pairRatio2}}) {
        std::printf("%s: %.2f s wall, %.2f s processor, %.1f pictures/s, %d pairs; "
                    "wall / bare decodes' wall %.3f, processor / bare decodes' processor %.3f; "
                    "round by round",
                    name, t.Wall, t.Processor, t.Pictures / t.Wall, t.Pairs, t.Wall / floor.Wall,
                    t.Processor / floor.Processor);
        for (const double r : ratios)
            std::printf(" %.3f", r);
        std::printf("\n");
    }
    std::printf("processor time on 2 threads / on 1 thread: %.3f\n", search2.Processor / search1.Processor);
    const Timing plain = timeSearch(folder, settings, 1, true);
    printTiming("plain,   1 thread ", plain);
    return 0;
}
