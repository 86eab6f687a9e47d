// Sorting the pair table the way a header click does, on a million pairs
// with paths shaped like a photo library's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "engine/catalogue/catalogue.h"
#include "engine/results/pair_sorting.h"

using namespace ferrovin;

namespace {

constexpr int kPairs = 1000000;

// 2,000 folders of 500 pictures; later pictures pair with earlier ones,
// mostly within their own folder, similarities in the 0.8 steps matching gives.
void fillLibrary(Catalogue& c)
{
    std::mt19937 random(7);
    char text[128];
    for (int f = 0; f < 2000; ++f) {
        std::snprintf(text, sizeof text, "/home/user/Pictures/%d/%02d Trip to place %d/",
                      2000 + f % 25, f % 12 + 1, f);
        c.PathList.emplace_back(text);
    }
    const int pictures = kPairs + kPairs / 4;
    c.PicList.resize(std::size_t(pictures));
    for (int p = 0; p < pictures; ++p) {
        TPicInfo& pic = c.PicList[std::size_t(p)];
        pic.PathInd = p / 625;
        std::snprintf(text, sizeof text, p % 3 == 0 ? "IMG_%04d.JPG" : "img_%04d (copy).jpg",
                      int(random() % 10000));
        pic.FileName = text;
    }
    for (int i = 0; i < kPairs; ++i) {
        const int later = int(random() % std::uint32_t(pictures - 1)) + 1;
        const int earlier = std::max(0, later - 1 - int(random() % 600));
        const double similarity = std::min(100.0, 0.8 * double(random() % 157) - 25.0);
        c.PicturePairs.push_back({earlier, later, std::max(1.0, similarity)});
    }
    c.LastPairIndex = kPairs - 1;
    c.PairCapacity = kPairs;
}

void sortByColumn(benchmark::State& state)
{
    static Catalogue library;
    if (library.PicturePairs.empty())
        fillLibrary(library);
    const TPicturePairs found = library.PicturePairs;
    for (auto _ : state) {
        state.PauseTiming();
        library.PicturePairs = found;
        state.ResumeTiming();
        SortPairsByColumn(library, int(state.range(0)), state.range(1) != 0);
        benchmark::DoNotOptimize(library.PicturePairs.data());
    }
    state.SetLabel(state.range(0) == 2 ? "similarity" : state.range(0) == 0 ? "original path"
                                                                            : "duplicate path");
    state.SetItemsProcessed(state.iterations() * kPairs);
}

} // namespace

BENCHMARK(sortByColumn)
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(3);

BENCHMARK_MAIN();
