#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "engine/catalogue/catalogue.h"
#include "engine/search/analysis_pipeline.h"

namespace ferrovin {

struct Settings;
class SearchObserver;
struct MatchingEnvironment;

// Finds, for each new picture, the partner the plain newest-first loop would
// find, without visiting every earlier picture: an inverted index from
// (position, sign) to the earlier pictures keeping that slot among their
// rarest ones, and a table of file heads for the identity test. Exact, not
// approximate: it gives the same pairs and similarities as the plain loop.
//
// The earlier pictures' lists and heads are read from the catalogue, which
// must hold them (StoreAnalysis) before they are added. Pictures must be added
// in catalogue order, and their kept positions must be distinct within each
// list, as signature extraction produces them.
class FastMatcher final {
public:
    // `identical(earlier, current)` compares the two catalogued files byte for
    // byte; it may be called from several threads at once.
    using IdentityFunction = std::function<bool(std::int32_t earlier, std::int32_t current)>;

    // Earlier pictures are counted in blocks of `blockSize` (rounded to whole
    // counter chunks, at most 65,536), newest block first, so that a block's byte counters
    // stay in the first-level cache and a partner in a recent block spares the
    // rest. The answers do not depend on it; tests make it small.
    static constexpr std::int32_t kDefaultBlockSize = 16384;
    // `matchTurned` also pairs turned and mirrored copies, as the plain loop
    // does under MatchTurnedAndMirrored.
    FastMatcher(const Catalogue& catalogue, bool onlyIdentical, IdentityFunction identical,
                std::int32_t blockSize = kDefaultBlockSize, bool matchTurned = false);

    struct Match {
        std::int32_t Earlier = -1;  // catalogue index of the partner, -1 for none
        double Similarity = 0.0;
    };

    // A picture newer than every added one, not added yet: the partner search
    // of a later picture checks it directly.
    struct Recent {
        std::int32_t Index = 0;
        const AnalysedPicture* Picture = nullptr;
        std::span<const std::uint16_t> Tokens;  // its kept slots as tokens (see Tokens())
    };
    // A picture's kept slots as position * 2 + (1 when negative).
    static void Tokens(const AnalysedPicture& picture, std::vector<std::uint16_t>& out);

    // The scratch of one partner search; each searching thread has its own.
    struct Probe;
    Probe makeProbe() const;

    // The partner of picture `index` among the pictures added so far.
    Match findPartner(std::int32_t index, const AnalysedPicture& picture);
    // The same among the added pictures and `recent` (ascending, all newer
    // than the added ones), as if those had been added. Only reads the
    // matcher, so several threads may search at once, each with its probe.
    Match findPartner(std::int32_t index, const AnalysedPicture& picture, std::span<const Recent> recent,
                      Probe& probe) const;
    // Makes picture `index` a candidate for later pictures; `picture` is what
    // StoreAnalysis recorded for it.
    void add(std::int32_t index, const AnalysedPicture& picture);

    std::int32_t size() const { return static_cast<std::int32_t>(m_catalogueIndex.size()); }
    // Bytes the index holds, for the benchmarks.
    std::size_t bytesHeld() const;

private:
    static constexpr int kTokenCount = 128 * 128 * 2;

    // The earlier pictures whose prefix holds one token, ascending, each once,
    // with where each block of them begins.
    struct PostingList {
        std::vector<std::uint16_t> Dense;  // offsets within their block
        std::vector<std::uint32_t> BlockStart;
        void push(std::int32_t dense, std::int32_t blockSize);
    };

    void collectTokens(const AnalysedPicture& picture, Probe& probe) const;
    // The newest earlier picture newer than `newerThan` (a dense id) whose kept
    // slots agree with `tokens` in at least `threshold`, or -1.
    std::int32_t signatureWinner(const std::vector<std::uint16_t>& tokens, const std::vector<std::int8_t>& signs,
                                 std::int32_t threshold, std::int32_t newerThan, double ratio,
                                 std::int32_t& agreeing, Probe& probe) const;
    std::int32_t verifiedCount(std::int32_t dense, const std::vector<std::int8_t>& signs) const;
    // The plain loop's test of one recent picture: its match, or Earlier -1.
    Match recentMatch(std::int32_t index, const AnalysedPicture& picture, double ratio, const Recent& earlier,
                      const Probe& probe) const;
    // Puts the distinct tokens of `tokens` into the probe's keys, the prefix
    // (those first in the current order) at its front in no particular order,
    // and returns the prefix length: 0 when too few to agree in 125 slots.
    std::int32_t selectPrefix(const std::uint16_t* tokens, std::int32_t count, Probe& probe) const;
    void storedTokens(std::int32_t dense, std::vector<std::uint16_t>& out) const;
    void indexPrefix(std::int32_t dense);
    void reorder();
    void insertHead(std::int32_t dense);

    const Catalogue& m_catalogue;
    bool m_onlyIdentical;
    bool m_matchTurned;
    IdentityFunction m_identical;
    std::int32_t m_blockSize;

    // Per earlier Full picture, in catalogue order ("dense" numbering).
    std::vector<std::int32_t> m_catalogueIndex;
    std::vector<double> m_ratio;
    std::vector<std::int64_t> m_sizes;  // file sizes, -1 when unknown
    // Heads by hash: a chained table whose chains run newest first.
    std::vector<std::uint64_t> m_headHash;
    std::vector<std::int32_t> m_headNext;
    std::vector<std::int32_t> m_headBucket;

    // Token order shared by every indexed prefix and every probe, rarest first;
    // it changes only when all prefixes are indexed again.
    std::vector<std::uint16_t> m_rank;
    std::vector<std::uint32_t> m_frequency;
    std::int64_t m_nextReorder = 256;
    std::vector<PostingList> m_postings;  // per token

public:
    struct Probe {
        std::vector<std::uint8_t> Counts;       // per dense id; zero between searches
        std::vector<std::int8_t> Signs;         // per position, the current picture's sign
        std::vector<std::uint16_t> Tokens;
        // The current picture's tokens and signs in the seven other orientations.
        std::vector<std::vector<std::uint16_t>> TurnedTokens;
        std::vector<std::vector<std::int8_t>> TurnedSigns;
        std::vector<std::uint32_t> Keys;        // rank << 16 | token
        std::vector<std::uint8_t> TokenSeen;
        std::vector<const PostingList*> Walked;
        std::vector<std::pair<const std::uint16_t*, const std::uint16_t*>> Stretches;
        std::vector<std::uint16_t> Stored;      // an earlier picture's tokens
    };


private:
    Probe m_probe;  // of the one-at-a-time calls and of add()
};

// The indexed matcher behind the same loop as MatchPictures: same stop tests,
// texts, counters and pairs, with analysis running on `threads` threads ahead of
// it (0 = one per hardware thread). With more than one thread the partner
// searches of pictures analysed ahead run side by side as well.
void MatchPicturesFast(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                       const MatchingEnvironment& environment, int threads);

} // namespace ferrovin
