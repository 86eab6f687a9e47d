#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
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
// rarest ones, and a table of file heads for the identity test. Exact, not approximate: it gives the same
// pairs and similarities as the plain loop.
//
// Pictures must be added in catalogue order, and their kept positions must be
// distinct within each list, as signature extraction produces them.
class FastMatcher final {
public:
    // `identical(earlier, current)` compares the two catalogued files byte for byte.
    using IdentityFunction = std::function<bool(std::int32_t earlier, std::int32_t current)>;

    // Earlier pictures are counted in blocks of `blockSize` (rounded to whole
    // counter chunks, at most 65,536), newest block first, so that a block's byte counters
    // stay in the first-level cache and a partner in a recent block spares the
    // rest. The answers do not depend on it; tests make it small.
    static constexpr std::int32_t kDefaultBlockSize = 32768;
    // `matchTurned` also pairs turned and mirrored copies, as the plain loop
    // does under MatchTurnedAndMirrored.
    FastMatcher(bool onlyIdentical, IdentityFunction identical, std::int32_t blockSize = kDefaultBlockSize,
                bool matchTurned = false);

    struct Match {
        std::int32_t Earlier = -1;  // catalogue index of the partner, -1 for none
        double Similarity = 0.0;
    };

    // The partner of picture `index` among the pictures added so far.
    Match findPartner(std::int32_t index, const AnalysedPicture& picture);
    // Makes picture `index` a candidate for later pictures.
    void add(std::int32_t index, const AnalysedPicture& picture);

    std::int32_t size() const { return static_cast<std::int32_t>(m_catalogueIndex.size()); }

private:
    static constexpr int kTokenCount = 128 * 128 * 2;

    void collectTokens(const AnalysedPicture& picture);
    // The newest earlier picture newer than `newerThan` (a dense id) whose kept
    // slots agree with `tokens` in at least `threshold`, or -1.
    std::int32_t signatureWinner(const std::vector<std::uint16_t>& tokens, const std::vector<std::int8_t>& signs,
                                 std::int32_t threshold, std::int32_t newerThan, double ratio,
                                 std::int32_t& agreeing);
    std::int32_t verifiedCount(std::int32_t dense, const std::vector<std::int8_t>& signs) const;
    // Puts the distinct tokens of `tokens` into m_keys, the prefix (those
    // first in the current order) at its front in no particular order, and
    // returns the prefix length: 0 when too few to agree in 125 slots.
    std::int32_t selectPrefix(const std::uint16_t* tokens, std::int32_t count);
    void indexPrefix(std::int32_t dense);
    void reorder();

    bool m_onlyIdentical;
    bool m_matchTurned;
    IdentityFunction m_identical;
    std::int32_t m_blockSize;

    // Per earlier Full picture, in catalogue order ("dense" numbering).
    std::vector<std::int32_t> m_catalogueIndex;
    std::vector<double> m_ratio;
    std::vector<TPreBuffer> m_heads;
    std::vector<std::int64_t> m_sizes;  // file sizes, -1 when unknown
    std::vector<std::uint32_t> m_tokenStart;  // m_tokens[m_tokenStart[d] .. m_tokenStart[d+1])
    std::vector<std::uint16_t> m_tokens;

    // Token order shared by every indexed prefix and every probe, rarest first;
    // it changes only when all prefixes are indexed again.
    std::vector<std::uint16_t> m_rank;
    std::vector<std::uint32_t> m_frequency;
    std::int64_t m_nextReorder = 256;
    std::vector<std::uint32_t> m_keys;  // scratch of selectPrefix: rank << 16 | token

    // The earlier pictures whose prefix holds one token, ascending, each once,
    // with where each block of them begins.
    struct PostingList {
        std::vector<std::uint16_t> Dense;  // offsets within their block
        std::vector<std::uint32_t> BlockStart;
        void push(std::int32_t dense, std::int32_t blockSize);
    };
    std::vector<PostingList> m_postings;  // per token
    std::vector<std::uint8_t> m_tokenSeen;  // scratch of add() and selectPrefix()
    std::unordered_map<std::uint64_t, std::vector<std::int32_t>> m_headIndex;

    // Scratch of one search for a partner.
    std::vector<std::uint8_t> m_counts;        // per dense id; zero between searches
    std::vector<std::int8_t> m_currentSigns;   // per position, the current picture's sign
    std::vector<std::uint16_t> m_currentTokens;
    // The current picture's tokens and signs in the seven other orientations.
    std::vector<std::vector<std::uint16_t>> m_turnedTokens;
    std::vector<std::vector<std::int8_t>> m_turnedSigns;
    std::vector<const PostingList*> m_walked;
    std::vector<std::pair<const std::uint16_t*, const std::uint16_t*>> m_stretches;
};

// The indexed matcher behind the same loop as MatchPictures: same stop tests,
// texts, counters and pairs, with analysis running on `threads` threads ahead of
// it (0 = one per hardware thread).
void MatchPicturesFast(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                       const MatchingEnvironment& environment, int threads);

} // namespace ferrovin
