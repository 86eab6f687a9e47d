// Folder scan over a tree of 100,000 one-byte pictures in 100 folders.
// The tree is built once under /tmp (an intact tree left by an earlier run is
// reused) and removed when the program ends; pass --keep-tree to keep it.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "engine/catalogue/catalogue.h"
#include "engine/files/folder_listing.h"
#include "engine/search/folder_scan.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;
const std::string kRoot = "/tmp/ferrovin-bench-folder-scan/";
const std::string kCompleteMarker = kRoot + "tree-complete.txt";

std::string folderName(int folder)
{
    char name[16];
    std::snprintf(name, sizeof name, "f%03d/", folder);
    return name;
}

bool buildTree()
{
    if (::access(kCompleteMarker.c_str(), F_OK) == 0)
        return true;
    std::filesystem::remove_all(kRoot);
    std::filesystem::create_directories(kRoot);
    int number = 0;
    for (int folder = 0; folder < kFolders; ++folder) {
        const std::string path = kRoot + folderName(folder);
        if (::mkdir(path.c_str(), 0755) != 0)
            return false;
        for (int i = 0; i < kFilesPerFolder; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%06d.jpg", ++number);
            const int fd = ::open((path + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, "x", 1) != 1)
                return false;
            ::close(fd);
        }
    }
    // Written last, so an interrupted build is never taken for a whole tree.
    const int fd = ::open(kCompleteMarker.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

double peakRssMiB()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// state.range(0): the catalogue's starting capacity. 30000 is the search's own,
// so the table grows during the scan; 200000 leaves only the walk to measure.
void BM_FolderScanWholeTree(benchmark::State& state)
{
    const auto capacity = static_cast<std::int32_t>(state.range(0));
    ferrovin::Settings settings;  // defaults: BMP, JPG, GIF, PNG; subfolders on
    ferrovin::SearchObserver observer;
    ferrovin::Catalogue catalogue;
    std::int64_t files = 0;
    for (auto _ : state) {
        state.PauseTiming();
        catalogue.Reset(capacity);
        catalogue.SearchStopped = false;
        state.ResumeTiming();

        ferrovin::FolderScan scan(catalogue, settings, {}, observer);
        scan.ScanRoot(kRoot);
        files += catalogue.LastPicIndex + 1;
    }
    if (catalogue.LastPicIndex + 1 != kFolders * kFilesPerFolder)
        state.SkipWithError("the scan did not catalogue every file");
    state.SetItemsProcessed(files);
    state.counters["pictures"] = catalogue.LastPicIndex + 1;
    state.counters["PicCapacity"] = catalogue.PicCapacity;
    state.counters["PicList_MiB"] =
        static_cast<double>(catalogue.PicList.capacity() * sizeof(ferrovin::TPicInfo)) / (1024.0 * 1024.0);
    state.counters["TPicInfo_bytes"] = sizeof(ferrovin::TPicInfo);
    state.counters["peak_RSS_MiB"] = peakRssMiB();
}
BENCHMARK(BM_FolderScanWholeTree)->Arg(ferrovin::kStartCapacity)->Arg(200000)
    ->Unit(benchmark::kMillisecond)->Iterations(3);

// One listing of one 1000-file folder: the step the scan repeats per mask.
void BM_ListOneFolder(benchmark::State& state)
{
    const std::string folder = kRoot + folderName(0);
    for (auto _ : state) {
        auto entries = ferrovin::ListFolder(folder, "*.jp*g");
        benchmark::DoNotOptimize(entries);
    }
    state.SetItemsProcessed(state.iterations() * kFilesPerFolder);
}
BENCHMARK(BM_ListOneFolder)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    bool keepTree = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep-tree") == 0)
            keepTree = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (!buildTree()) {
        std::fprintf(stderr, "cannot build the test tree under %s\n", kRoot.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!keepTree)
        std::filesystem::remove_all(kRoot);
    return 0;
}
