// The whole search on a library of JPEG photographs-to-be: 1 to 12 megapixel
// pictures of smooth random shapes, a few percent of them re-encoded or copied
// near-duplicates. Reports pictures per second for the indexed matcher on 1 and
// 2 threads and the plain loop on 1, against the bare cost of the scaled JPEG
// decodes alone (the floor any analysis has to pay), divided by the threads.
// The cache mode times instead a search without the signature cache, a first
// search filling a new cache and a second one of the unchanged library, and
// the size of the cache per picture.
//
//   bench_search [PICTURES [FOLDER [MODE]]] [--turned]
//   defaults 5000 /tmp/ferrovin-bench-library matchers; MODE cache or generate
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
#include <vector>

#include <jpeglib.h>
#include <sys/stat.h>

#include "engine/catalogue/catalogue.h"
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

void writeJpeg(const std::string& path, const Picture& picture, int quality)
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
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.Rgb.data() + static_cast<std::size_t>(cinfo.next_scanline) * picture.Width * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

std::string pictureName(int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "pic%05d.jpg", index);
    return name;
}

// Pictures are generated in a fixed sequence, so any prefix of the library is
// the same whatever count first created it.
void ensureLibrary(const std::string& folder, int count)
{
    ::mkdir(folder.c_str(), 0755);
    std::mt19937 rng(99);
    int made = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        const std::uint32_t kind = rng() % 100;
        const std::uint32_t megapixels = 1 + rng() % 12;
        const bool portrait = rng() % 4 == 0;
        const std::uint32_t back = 1 + rng() % 40;
        const std::string path = folder + "/" + pictureName(i);
        if (fileExists(path))
            continue;
        int original = i;
        int shift = 0;
        int quality = 85;
        if (i > 0 && kind < 4) {
            original = i - static_cast<int>(std::min<std::uint32_t>(back, static_cast<std::uint32_t>(i)));
            if (kind == 0) {
                // A byte-for-byte copy.
                std::ifstream in(folder + "/" + pictureName(original), std::ios::binary);
                std::ofstream out(path, std::ios::binary);
                out << in.rdbuf();
                ++made;
                continue;
            }
            shift = kind == 1 ? 6 : 0;
            quality = kind == 2 ? 60 : 92;
        }
        // Dimensions and content follow the original, so a near-duplicate looks alike.
        std::mt19937 shapeRng(static_cast<std::uint32_t>(original) * 7919u + 1);
        const std::uint32_t mp = original == i ? megapixels : 1 + shapeRng() % 12;
        const double pixels = mp * 1.0e6;
        int width = static_cast<int>(std::sqrt(pixels * 4.0 / 3.0));
        int height = static_cast<int>(pixels / width);
        if ((original == i ? portrait : false))
            std::swap(width, height);
        writeJpeg(path, makePhoto(static_cast<std::uint32_t>(original) + 1, width, height, shift), quality);
        ++made;
        if (made % 50 == 0)
            std::fprintf(stderr, "\rgenerated %d pictures", made);
    }
    if (made > 0)
        std::fprintf(stderr, "\rgenerated %d pictures in %.0f s\n", made,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The decode the analysis cannot avoid: the same scale rule and parameters.
double bareDecodeSeconds(const std::string& folder, int count, const Settings& settings)
{
    std::vector<unsigned char> row;
    const std::clock_t start = std::clock();
    for (int i = 0; i < count; ++i) {
        FILE* file = std::fopen((folder + "/" + pictureName(i)).c_str(), "rb");
        if (file == nullptr)
            continue;
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
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
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
    const int count = positional.size() > 0 ? std::max(1, std::atoi(positional[0].c_str())) : 5000;
    const std::string library = positional.size() > 1 ? positional[1] : "/tmp/ferrovin-bench-library";
    const std::string mode = positional.size() > 2 ? positional[2] : "matchers";
    ensureLibrary(library, count);

    // Search a folder holding exactly the first `count` pictures (links, no copies).
    const std::string folder = library + "-" + std::to_string(count);
    ::mkdir(folder.c_str(), 0755);
    for (int i = 0; i < count; ++i) {
        const std::string link = folder + "/" + pictureName(i);
        if (!fileExists(link) && ::symlink((library + "/" + pictureName(i)).c_str(), link.c_str()) != 0)
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
    const double bare = bareDecodeSeconds(folder, count, settings);
    std::printf("%d pictures; bare scaled JPEG decodes: %.2f s processor time (%.1f pictures/s)\n", count, bare,
                count / bare);
    struct Run { const char* name; int threads; bool reference; };
    for (const Run& run : {Run{"indexed, 1 thread ", 1, false}, Run{"indexed, 2 threads", 2, false},
                           Run{"plain,   1 thread ", 1, true}}) {
        const Timing t = bestOfTwo(folder, settings, run.threads, run.reference);
        const double floor = bare / run.threads;
        std::printf("%s: %.2f s wall, %.2f s processor, %.1f pictures/s, %d pairs; "
                    "bare decodes / threads %.2f s, ratio %.2f (processor time ratio %.2f)\n",
                    run.name, t.Wall, t.Processor, t.Pictures / t.Wall, t.Pairs, floor, t.Wall / floor,
                    t.Processor / bare);
    }
    return 0;
}
