// Matching only, on signatures drawn like those of photographs: each picture
// keeps 250 distinct positions, each (row, column, sign) drawn independently
// with the frequency measured among real photo-like pictures (the table
// signature-token-counts.tsv), which reproduces how much unrelated photos
// overlap; a few percent are near-duplicates made by perturbing an earlier
// signature. Reports the indexed matcher on one core for the whole set, with
// and without turned and mirrored matching, and the plain loop against the
// indexed one on a subset.
//
//   bench_matching [PICTURES [PLAIN_SUBSET]] [--turned] [--counts FILE]
//   defaults 200000 5000, the table of the shared data folder

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

void toAnalysis(Kept kept, AnalysedPicture& picture)
{
    std::sort(kept.begin(), kept.end());
    picture.Pos = {};
    picture.Neg = {};
    std::size_t pos = 0;
    std::size_t neg = 0;
    for (const auto& [p, negative] : kept)
        (negative ? picture.Neg[neg++] : picture.Pos[pos++]) = TWaveletPoint{p / 128, p % 128};
}

std::vector<AnalysedPicture> makePictures(int count, const std::string& countsFile)
{
    std::mt19937 rng(2024);
    SignatureMaker maker(countsFile);
    std::vector<std::uint8_t> used(128 * 128, 0);
    std::vector<AnalysedPicture> pictures(static_cast<std::size_t>(count));
    const std::pair<int, int> shapes[] = {{600, 800}, {800, 600}, {750, 1000}, {480, 640}, {768, 1024}};
    for (int k = 0; k < count; ++k) {
        AnalysedPicture& picture = pictures[static_cast<std::size_t>(k)];
        picture.Decoded = true;
        const auto& shape = shapes[rng() % std::size(shapes)];
        picture.Height = shape.first;
        picture.Width = shape.second;
        for (int b = 0; b < 4; ++b)
            picture.PreBuffer[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(k >> (8 * b));
        if (k > 0 && rng() % 100 < 4) {
            // A near-duplicate of an earlier picture, usually a recent one.
            const int back = 1 + static_cast<int>(rng() % std::min(k, rng() % 2 ? 50 : k));
            Kept base;
            const AnalysedPicture& original = pictures[static_cast<std::size_t>(k - back)];
            for (const TWaveletPoint& p : original.Pos)
                if (p.X || p.Y)
                    base.emplace_back(p.X * 128 + p.Y, false);
            for (const TWaveletPoint& p : original.Neg)
                if (p.X || p.Y)
                    base.emplace_back(p.X * 128 + p.Y, true);
            toAnalysis(maker.variant(base, rng, static_cast<int>(rng() % 80), static_cast<int>(rng() % 10), used),
                       picture);
        } else {
            toAnalysis(maker.fresh(rng, used), picture);
        }
    }
    return pictures;
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of this (single-threaded) program: the machine may be shared.
double cpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

struct FastRun {
    double Seconds = 0;
    std::vector<TPicturePair> Pairs;
};

FastRun runFast(const std::vector<AnalysedPicture>& pictures, int count, bool turned = false)
{
    FastMatcher matcher(false, [](std::int32_t, std::int32_t) { return false; },
                        FastMatcher::kDefaultBlockSize, turned);
    FastRun run;
    const double start = cpuSeconds();
    for (int k = 0; k < count; ++k) {
        const AnalysedPicture& picture = pictures[static_cast<std::size_t>(k)];
        const FastMatcher::Match match = matcher.findPartner(k, picture);
        if (match.Earlier >= 0)
            run.Pairs.push_back({match.Earlier, k, match.Similarity});
        matcher.add(k, picture);
    }
    run.Seconds = cpuSeconds() - start;
    return run;
}

FastRun runPlain(const std::vector<AnalysedPicture>& pictures, int count)
{
    Catalogue catalogue;
    catalogue.Reset(count + 1000);
    catalogue.RegisterFolder("/bench/");
    for (int k = 0; k < count; ++k)
        catalogue.CataloguePicture().FileName = std::to_string(k);
    catalogue.TrimAfterScan();
    catalogue.AllocatePairs();
    catalogue.SearchStopped = false;
    MatchingEnvironment environment;
    environment.Analyse = [&](const std::string& path, AnalysisWorkspace&, AnalysedPicture& out) {
        out = pictures[std::stoul(path.substr(7))];
    };
    environment.FilesIdentical = [](const std::string&, const std::string&) { return false; };
    SearchObserver quiet;
    FastRun run;
    const double start = cpuSeconds();
    MatchPictures(catalogue, Settings{}, quiet, environment);
    run.Seconds = cpuSeconds() - start;
    run.Pairs.assign(catalogue.PicturePairs.begin(), catalogue.PicturePairs.begin() + (catalogue.LastPairIndex + 1));
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    bool turned = false;
    std::string countsFile = FERROVIN_TOKEN_COUNTS;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--turned")
            turned = true;
        else if (argument == "--counts" && i + 1 < argc)
            countsFile = argv[++i];
        else
            positional.push_back(argument);
    }
    const int count = positional.size() > 0 ? std::atoi(positional[0].c_str()) : 200000;
    const int subset = std::min(count, positional.size() > 1 ? std::atoi(positional[1].c_str()) : 5000);

    const auto made = std::chrono::steady_clock::now();
    const std::vector<AnalysedPicture> pictures = makePictures(count, countsFile);
    std::printf("generated %d realistic signatures in %.1f s\n", count, seconds(made));

    const FastRun fast = runFast(pictures, count);
    std::printf("indexed matcher, %d pictures, one core: %.2f s processor time (%.0f pictures/s), %zu pairs\n",
                count, fast.Seconds, count / fast.Seconds, fast.Pairs.size());
    if (turned) {
        const FastRun both = runFast(pictures, count, true);
        std::printf("with turned and mirrored matching: %.2f s (x%.2f), %zu pairs\n", both.Seconds,
                    both.Seconds / fast.Seconds, both.Pairs.size());
    }

    if (subset > 0) {
        const FastRun plain = runPlain(pictures, subset);
        const FastRun fastSubset = runFast(pictures, subset);
        std::printf("subset of %d: plain loop %.2f s, indexed %.3f s (x%.0f), %zu pairs, %s\n", subset,
                    plain.Seconds, fastSubset.Seconds, plain.Seconds / fastSubset.Seconds,
                    plain.Pairs.size(), plain.Pairs == fastSubset.Pairs ? "same pairs" : "PAIRS DIFFER");
    }
    return 0;
}
