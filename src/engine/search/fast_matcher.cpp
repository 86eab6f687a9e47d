#include "engine/search/fast_matcher.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/search/orientations.h"
#include "engine/search/pair_matching.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

// Prefix filtering: order all tokens once, rarest first. Two pictures agreeing
// in 125 slots share their first agreeing token in that order, and it lies
// within the first kept - 124 tokens of each. Indexing and probing with
// kPrefixSlack tokens more means a pair that agrees well enough shares at
// least kPrefixSlack + 1 tokens of both prefixes: the agreeing tokens left out
// of either prefix are the last ones of the agreeing set, at most 124 - slack.
constexpr std::int32_t kPrefixSlack = 20;
static_assert(kPrefixSlack < kPairingCount);

constexpr std::size_t kFetchAhead = 8;
constexpr std::ptrdiff_t kLineAhead = 128;

// Zeroes a chunk of counters and tells which reached `hits`, bit i for
// counter i.
#if defined(__SSE2__)
constexpr std::int32_t kChunk = 16;
inline std::uint32_t takeChunk(std::uint8_t* counts, std::int32_t hits)
{
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(counts), _mm_setzero_si128());
    // Saturating subtraction leaves zero exactly for counts below the threshold.
    const __m128i excess = _mm_subs_epu8(chunk, _mm_set1_epi8(static_cast<char>(hits - 1)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(excess, _mm_setzero_si128()))) ^ 0xFFFFU;
}
#else
constexpr std::int32_t kChunk = 8;
inline std::uint32_t takeChunk(std::uint8_t* counts, std::int32_t hits)
{
    std::uint64_t word = 0;
    std::memcpy(&word, counts, sizeof word);
    std::memset(counts, 0, sizeof word);
    // Adding 128 - threshold to a byte's low seven bits sets its high bit
    // without carrying into the next byte; bytes of 128 and more show through
    // their own high bit.
    const std::uint64_t bias = 0x0101010101010101ULL * static_cast<std::uint64_t>(128 - hits);
    if (((((word & 0x7F7F7F7F7F7F7F7FULL) + bias) | word) & 0x8080808080808080ULL) == 0)
        return 0;
    std::uint32_t mask = 0;
    for (int i = 0; i < 8; ++i)
        if (((word >> (8 * i)) & 0xFF) >= static_cast<std::uint64_t>(hits))
            mask |= 1U << i;
    return mask;
}
#endif

std::int32_t prefixLength(std::int32_t kept) { return kept - (kPairingCount - 1) + kPrefixSlack; }

std::uint64_t headHash(const TPreBuffer& head)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::uint8_t byte : head) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    return hash;
}

inline int positionOf(const TWaveletPoint& p) { return p.X * 128 + p.Y; }
inline bool isEmptySlot(const TWaveletPoint& p) { return p.X == 0 && p.Y == 0; }

} // namespace

FastMatcher::FastMatcher(bool onlyIdentical, IdentityFunction identical, std::int32_t blockSize,
                         bool matchTurned)
    : m_onlyIdentical(onlyIdentical),
      m_matchTurned(matchTurned && !onlyIdentical),
      m_identical(std::move(identical)),
      // Whole chunks of counters, so that blocks begin on a chunk edge.
      m_blockSize(std::clamp(blockSize / kChunk * kChunk, kChunk, std::int32_t{65536})),
      m_rank(onlyIdentical ? 0 : kTokenCount),
      m_frequency(onlyIdentical ? 0 : kTokenCount, 0),
      m_postings(onlyIdentical ? 0 : kTokenCount),
      m_tokenSeen(onlyIdentical ? 0 : kTokenCount, 0),
      m_currentSigns(128 * 128, 0),
      m_turnedTokens(m_matchTurned ? kTurnedOrientations : 0),
      m_turnedSigns(m_matchTurned ? kTurnedOrientations : 0, std::vector<std::int8_t>(128 * 128, 0))
{
    m_tokenStart.push_back(0);
    // Until there are frequencies to go by, fine positions (rarer in
    // photographs) come first.
    for (std::size_t token = 0; token < m_rank.size(); ++token)
        m_rank[token] = static_cast<std::uint16_t>(m_rank.size() - 1 - token);
}

void FastMatcher::collectTokens(const AnalysedPicture& picture)
{
    for (std::uint16_t token : m_currentTokens)
        m_currentSigns[token >> 1] = 0;
    m_currentTokens.clear();
    // Signs as the quantised matrix holds them; a position is one token.
    for (const TWaveletPoint& p : picture.Pos)
        if (!isEmptySlot(p))
            m_currentSigns[static_cast<std::size_t>(positionOf(p))] = 1;
    for (const TWaveletPoint& p : picture.Neg)
        if (!isEmptySlot(p))
            m_currentSigns[static_cast<std::size_t>(positionOf(p))] = -1;
    // Doubling the stored sign marks a position as emitted without losing its sign.
    auto emit = [this](const TWaveletPoint& p) {
        if (isEmptySlot(p))
            return;
        std::int8_t& sign = m_currentSigns[static_cast<std::size_t>(positionOf(p))];
        if (sign == 1 || sign == -1) {
            m_currentTokens.push_back(static_cast<std::uint16_t>(positionOf(p) * 2 + (sign < 0 ? 1 : 0)));
            sign = static_cast<std::int8_t>(sign * 2);
        }
    };
    for (const TWaveletPoint& p : picture.Pos)
        emit(p);
    for (const TWaveletPoint& p : picture.Neg)
        emit(p);

    // Each orientation moves every token to one place of its own, so the
    // turned sets stay distinct too.
    const auto& maps = TurnedTokenMaps();
    for (std::size_t o = 0; o < m_turnedTokens.size(); ++o) {
        std::vector<std::int8_t>& signs = m_turnedSigns[o];
        for (std::uint16_t token : m_turnedTokens[o])
            signs[token >> 1] = 0;
        m_turnedTokens[o].clear();
        for (std::uint16_t token : m_currentTokens) {
            const std::uint16_t moved = maps[o][token];
            m_turnedTokens[o].push_back(moved);
            signs[moved >> 1] = (moved & 1) ? -1 : 1;
        }
    }
}

std::int32_t FastMatcher::verifiedCount(std::int32_t dense, const std::vector<std::int8_t>& signs) const
{
    std::int32_t count = 0;
    const std::uint32_t end = m_tokenStart[static_cast<std::size_t>(dense) + 1];
    for (std::uint32_t t = m_tokenStart[static_cast<std::size_t>(dense)]; t < end; ++t) {
        const std::uint16_t token = m_tokens[t];
        const std::int8_t sign = signs[token >> 1];
        if ((token & 1) ? sign < 0 : sign > 0)
            ++count;
    }
    return count;
}

std::int32_t FastMatcher::selectPrefix(const std::uint16_t* tokens, std::int32_t count)
{
    m_keys.clear();
    for (std::int32_t t = 0; t < count; ++t) {
        const std::uint16_t token = tokens[t];
        if (!m_tokenSeen[token]) {
            m_tokenSeen[token] = 1;
            m_keys.push_back(static_cast<std::uint32_t>(m_rank[token]) << 16 | token);
        }
    }
    for (std::uint32_t key : m_keys)
        m_tokenSeen[key & 0xFFFF] = 0;
    const auto distinct = static_cast<std::int32_t>(m_keys.size());
    // Fewer than 125 distinct slots can never agree in 125.
    if (distinct < kPairingCount)
        return 0;
    const std::int32_t length = prefixLength(distinct);
    if (length < distinct)
        std::nth_element(m_keys.begin(), m_keys.begin() + length, m_keys.end());
    return length;
}

void FastMatcher::indexPrefix(std::int32_t dense)
{
    const std::uint32_t first = m_tokenStart[static_cast<std::size_t>(dense)];
    const auto count = static_cast<std::int32_t>(m_tokenStart[static_cast<std::size_t>(dense) + 1] - first);
    const std::int32_t length = selectPrefix(m_tokens.data() + first, count);
    for (std::int32_t j = 0; j < length; ++j)
        m_postings[m_keys[static_cast<std::size_t>(j)] & 0xFFFF].push(dense, m_blockSize);
}

void FastMatcher::PostingList::push(std::int32_t dense, std::int32_t blockSize)
{
    const auto block = static_cast<std::size_t>(dense / blockSize);
    if (BlockStart.size() <= block)
        BlockStart.resize(block + 1, static_cast<std::uint32_t>(Dense.size()));
    // Within its block a picture is known by its offset, which halves the
    // bytes the counting loop streams through.
    Dense.push_back(static_cast<std::uint16_t>(dense - static_cast<std::int32_t>(block) * blockSize));
}

void FastMatcher::reorder()
{
    std::vector<std::uint16_t> order(static_cast<std::size_t>(kTokenCount));
    for (std::size_t token = 0; token < order.size(); ++token)
        order[token] = static_cast<std::uint16_t>(token);
    std::sort(order.begin(), order.end(), [this](std::uint16_t a, std::uint16_t b) {
        return m_frequency[a] != m_frequency[b] ? m_frequency[a] < m_frequency[b] : a > b;
    });
    for (std::size_t r = 0; r < order.size(); ++r)
        m_rank[order[r]] = static_cast<std::uint16_t>(r);
    for (PostingList& list : m_postings)
        list = {};
    for (std::int32_t dense = 0; dense < size(); ++dense)
        indexPrefix(dense);
}

std::int32_t FastMatcher::signatureWinner(const std::vector<std::uint16_t>& tokens,
                                          const std::vector<std::int8_t>& signs, std::int32_t threshold,
                                          std::int32_t newerThan, double ratio, std::int32_t& agreeing)
{
    const auto kept = static_cast<std::int32_t>(tokens.size());
    if (m_onlyIdentical || kept < threshold || m_catalogueIndex.empty())
        return -1;
    // Prefixes leave out at most 124 - slack tokens of an agreeing set, so a
    // pair agreeing in `threshold` slots shares this many prefix tokens.
    const std::int32_t hits = threshold - (kPairingCount - 1) + kPrefixSlack;
    const std::int32_t length = selectPrefix(tokens.data(), kept);
    m_walked.clear();
    for (std::int32_t j = 0; j < length; ++j) {
        const PostingList& list = m_postings[m_keys[static_cast<std::size_t>(j)] & 0xFFFF];
        if (!list.Dense.empty())
            m_walked.push_back(&list);
    }
    const auto total = static_cast<std::int32_t>(m_catalogueIndex.size());
    m_counts.resize(static_cast<std::size_t>(total), 0);
    // Branch-free counting into bytes (a picture is at most once in a list, so
    // no count passes 250), through a plain pointer: a byte store may alias
    // anything, and through the vector the base would be reloaded every step.
    std::uint8_t* const counts = m_counts.data();

    std::int32_t winner = -1;
    auto consider = [&](std::int32_t dense) {
        if (dense <= newerThan || !AspectGatePasses(m_ratio[static_cast<std::size_t>(dense)], ratio))
            return false;
        const std::int32_t count = verifiedCount(dense, signs);
        if (count < threshold)
            return false;
        agreeing = count;
        winner = dense;
        return true;
    };

    // Counting stops where only pictures no newer than `newerThan` are left.
    const std::int32_t floor = std::max(newerThan + 1, 0);
    for (std::int32_t low = (total - 1) / m_blockSize * m_blockSize;
         low >= 0 && winner < 0 && std::min(total, low + m_blockSize) > floor; low -= m_blockSize) {
        const std::int32_t high = std::min(total, low + m_blockSize);
        // Where each list's stretch for this block lies; the stretches are
        // fetched a few lists ahead, as each starts with a cache miss.
        const auto block = static_cast<std::size_t>(low / m_blockSize);
        m_stretches.clear();
        for (const PostingList* list : m_walked) {
            if (block >= list->BlockStart.size())
                continue;
            const std::uint16_t* const begin = list->Dense.data() + list->BlockStart[block];
            const std::uint16_t* const end = list->Dense.data()
                + (block + 1 < list->BlockStart.size() ? list->BlockStart[block + 1] : list->Dense.size());
            if (begin != end)
                m_stretches.push_back({begin, end});
        }
        const std::size_t stretches = m_stretches.size();
        std::uint8_t* const blockCounts = counts + low;
        for (std::size_t j = 0; j < std::min<std::size_t>(kFetchAhead, stretches); ++j)
            __builtin_prefetch(m_stretches[j].first);
        for (std::size_t j = 0; j < stretches; ++j) {
            if (j + kFetchAhead < stretches) {
                const auto& ahead = m_stretches[j + kFetchAhead];
                __builtin_prefetch(ahead.first);
                if (ahead.second - ahead.first > 32)
                    __builtin_prefetch(ahead.first + 32);
            }
            const std::uint16_t* const end = m_stretches[j].second;
            const std::uint16_t* offset = m_stretches[j].first;
            // Long stretches fetch their own lines ahead, a few at a time.
            for (; end - offset > kLineAhead + 32; offset += 32) {
                __builtin_prefetch(offset + kLineAhead);
#pragma GCC unroll 32
                for (int i = 0; i < 32; ++i)
                    ++blockCounts[offset[i]];
            }
            for (; offset != end; ++offset)
                ++blockCounts[*offset];
        }
        // Newest first; counters go back to zero as they are read. Single
        // counters down to a chunk edge, then whole chunks.
        std::int32_t top = high;
        const std::int32_t bottom = std::max(low, floor);
        for (; top > bottom && top % kChunk != 0 && winner < 0; --top) {
            const std::uint8_t count = counts[top - 1];
            counts[top - 1] = 0;
            if (count >= hits)
                consider(top - 1);
        }
        for (; top > bottom && winner < 0; top -= kChunk) {
            std::uint32_t mask = takeChunk(counts + (top - kChunk), hits);
            while (mask != 0 && winner < 0) {
                const int bit = 31 - __builtin_clz(mask);
                mask &= ~(1U << bit);
                consider(top - kChunk + bit);
            }
        }
        if (top > low)
            std::fill(counts + low, counts + top, std::uint8_t{0});
    }
    return winner;
}

FastMatcher::Match FastMatcher::findPartner(std::int32_t index, const AnalysedPicture& picture)
{
    if (!m_onlyIdentical)
        collectTokens(picture);
    const double ratio = AspectRatio(picture.Height, picture.Width);
    std::int32_t agreeing = 0;
    std::int32_t bySignature = signatureWinner(m_currentTokens, m_currentSigns, kPairingCount, -1, ratio, agreeing);
    if (m_matchTurned) {
        // A turned orientation wins only with a newer picture than the
        // unturned winner, which keeps its own count.
        const std::int32_t unturned = bySignature;
        for (std::size_t o = 0; o < m_turnedTokens.size(); ++o) {
            std::int32_t count = 0;
            const std::int32_t found = signatureWinner(m_turnedTokens[o], m_turnedSigns[o], kTurnedPairingCount,
                                                       bySignature, ratio, count);
            if (found >= 0)
                bySignature = found;
        }
        if (bySignature != unturned) {
            agreeing = 0;
            for (const std::vector<std::int8_t>& signs : m_turnedSigns)
                agreeing = std::max(agreeing, verifiedCount(bySignature, signs));
        }
    }

    // The plain loop stops at the newest picture that is identical or agrees
    // well enough, so only identical candidates not older than the signature
    // winner can change the answer (the winner itself included: identity first).
    const auto heads = m_headIndex.find(headHash(picture.PreBuffer));
    if (heads != m_headIndex.end()) {
        const std::vector<std::int32_t>& same = heads->second;
        for (auto it = same.rbegin(); it != same.rend() && *it >= bySignature; ++it) {
            const auto dense = static_cast<std::size_t>(*it);
            if (!AspectGatePasses(m_ratio[dense], ratio) || m_heads[dense] != picture.PreBuffer)
                continue;
            // Pictures of one camera often share their first 256 bytes; files of
            // different lengths cannot be identical, so they are not read.
            if (picture.FileSize >= 0 && m_sizes[dense] >= 0 && m_sizes[dense] != picture.FileSize)
                continue;
            if (m_identical(m_catalogueIndex[dense], index))
                return {m_catalogueIndex[dense], SimilarityFromScore(100.0)};
        }
    }
    if (bySignature < 0)
        return {};
    return {m_catalogueIndex[static_cast<std::size_t>(bySignature)],
            SimilarityFromScore(ScoreFromCount(agreeing))};
}

void FastMatcher::add(std::int32_t index, const AnalysedPicture& picture)
{
    const auto dense = static_cast<std::int32_t>(m_catalogueIndex.size());
    m_catalogueIndex.push_back(index);
    m_ratio.push_back(AspectRatio(picture.Height, picture.Width));
    m_heads.push_back(picture.PreBuffer);
    m_sizes.push_back(picture.FileSize);
    m_headIndex[headHash(picture.PreBuffer)].push_back(dense);
    if (!m_onlyIdentical) {
        auto addSlots = [&](const TWaveletCoefs& slots, int negative) {
            for (const TWaveletPoint& p : slots)
                if (!isEmptySlot(p))
                    m_tokens.push_back(static_cast<std::uint16_t>(positionOf(p) * 2 + negative));
        };
        addSlots(picture.Pos, 0);
        addSlots(picture.Neg, 1);
    }
    m_tokenStart.push_back(static_cast<std::uint32_t>(m_tokens.size()));
    if (m_onlyIdentical)
        return;
    for (auto t = m_tokenStart[static_cast<std::size_t>(dense)]; t < m_tokens.size(); ++t) {
        if (!m_tokenSeen[m_tokens[t]]) {
            m_tokenSeen[m_tokens[t]] = 1;
            ++m_frequency[m_tokens[t]];
        }
    }
    for (auto t = m_tokenStart[static_cast<std::size_t>(dense)]; t < m_tokens.size(); ++t)
        m_tokenSeen[m_tokens[t]] = 0;
    // The order follows the frequencies seen so far, at sizes four times apart,
    // so indexing again costs little next to the searches in between.
    if (size() == m_nextReorder) {
        m_nextReorder *= 4;
        reorder();
    } else {
        indexPrefix(dense);
    }
}

void MatchPicturesFast(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                       const MatchingEnvironment& environment, int threads)
{
    const std::int32_t n = catalogue.PicCapacity;
    FastMatcher matcher(
        settings.SearchOnlyIdentical,
        [&](std::int32_t earlier, std::int32_t current) {
            return environment.FilesIdentical(catalogue.FullPath(current), catalogue.FullPath(earlier));
        },
        FastMatcher::kDefaultBlockSize, settings.MatchTurnedAndMirrored);
    // Workers read only names of pictures ahead of the matcher; the matcher
    // writes only analysis fields of pictures it has taken.
    AnalysisPipeline pipeline(
        [&](std::int32_t index, AnalysisWorkspace& workspace, AnalysedPicture& out) {
            environment.Analyse(catalogue.FullPath(index), workspace, out);
        },
        n, EffectiveThreadCount(threads));

    for (std::int32_t k = 0; k < n; ++k) {
        if (StopTest(catalogue.SearchStopped, observer))
            return;
        catalogue.LastPicIndex = k;
        const AnalysedPicture& analysed = pipeline.take(k);
        if (!analysed.Decoded || !PassesSizeTest(analysed.Height, analysed.Width, settings)) {
            if (!analysed.Decoded)
                ReportNotDecoded(observer, catalogue.FullPath(k), analysed);
            observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
            continue;
        }
        StoreAnalysis(catalogue.PicList[static_cast<std::size_t>(k)], analysed, settings.SearchOnlyIdentical);

        const FastMatcher::Match match = matcher.findPartner(k, analysed);
        if (match.Earlier >= 0) {
            catalogue.AddPair({match.Earlier, k, match.Similarity});
            observer.duplicatesFoundText(DuplicatesCountText(catalogue.LastPairIndex + 1));
        }
        matcher.add(k, analysed);
        observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
        observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
    }
    observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
}

} // namespace ferrovin
