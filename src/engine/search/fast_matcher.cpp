#include "engine/search/fast_matcher.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

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
// On photo-like signatures a shorter slack saves little counting but lets
// through far more candidates to verify: at 100,000 pictures, 12 instead of 20
// counts 14 % less, verifies about 500 times as many and takes three times as long.
constexpr std::int32_t kPrefixSlack = 20;
static_assert(kPrefixSlack < kPairingCount);

constexpr std::size_t kFetchAhead = 4;
constexpr std::ptrdiff_t kLineAhead = 256;

// Requests every line of a stretch's first kLineAhead entries. Stretches run
// to a dozen lines or so, too short for the hardware to see a stream in them:
// whole heads four stretches ahead instead of two lines eight ahead took
// matching 200,000 pictures from 72-76 s to 60-62 s.
inline void fetchHead(const std::uint16_t* begin, const std::uint16_t* end)
{
    const std::uint16_t* const last = std::min(end, begin + kLineAhead) - 1;
    for (const std::uint16_t* line = begin; line < last; line += 32)
        __builtin_prefetch(line);
    __builtin_prefetch(last);
}

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

FastMatcher::FastMatcher(const Catalogue& catalogue, bool onlyIdentical, IdentityFunction identical,
                         std::int32_t blockSize, bool matchTurned)
    : m_catalogue(catalogue),
      m_onlyIdentical(onlyIdentical),
      m_matchTurned(matchTurned && !onlyIdentical),
      m_identical(std::move(identical)),
      // Whole chunks of counters, so that blocks begin on a chunk edge.
      m_blockSize(std::clamp(blockSize / kChunk * kChunk, kChunk, std::int32_t{65536})),
      m_rank(onlyIdentical ? 0 : kTokenCount),
      m_frequency(onlyIdentical ? 0 : kTokenCount, 0),
      m_postings(onlyIdentical ? 0 : kTokenCount),
      m_probe(makeProbe())
{
    // Until there are frequencies to go by, fine positions (rarer in
    // photographs) come first.
    for (std::size_t token = 0; token < m_rank.size(); ++token)
        m_rank[token] = static_cast<std::uint16_t>(m_rank.size() - 1 - token);
}

FastMatcher::Probe FastMatcher::makeProbe() const
{
    Probe probe;
    if (m_onlyIdentical)
        return probe;
    probe.Signs.assign(128 * 128, 0);
    probe.TokenSeen.assign(kTokenCount, 0);
    if (m_matchTurned) {
        probe.TurnedTokens.resize(kTurnedOrientations);
        probe.TurnedSigns.assign(kTurnedOrientations, std::vector<std::int8_t>(128 * 128, 0));
    }
    return probe;
}

std::size_t FastMatcher::bytesHeld() const
{
    std::size_t bytes = m_catalogueIndex.capacity() * sizeof(std::int32_t) + m_ratio.capacity() * sizeof(double)
        + m_sizes.capacity() * sizeof(std::int64_t) + m_headHash.capacity() * sizeof(std::uint64_t)
        + (m_headNext.capacity() + m_headBucket.capacity()) * sizeof(std::int32_t)
        + m_postings.capacity() * sizeof(PostingList);
    for (const PostingList& list : m_postings)
        bytes += list.Dense.capacity() * sizeof(std::uint16_t) + list.BlockStart.capacity() * sizeof(std::uint32_t);
    return bytes;
}

void FastMatcher::collectTokens(const AnalysedPicture& picture, Probe& probe) const
{
    std::vector<std::int8_t>& currentSigns = probe.Signs;
    for (std::uint16_t token : probe.Tokens)
        currentSigns[token >> 1] = 0;
    probe.Tokens.clear();
    // Signs as the quantised matrix holds them; a position is one token.
    for (const TWaveletPoint& p : picture.Pos)
        if (!isEmptySlot(p))
            currentSigns[static_cast<std::size_t>(positionOf(p))] = 1;
    for (const TWaveletPoint& p : picture.Neg)
        if (!isEmptySlot(p))
            currentSigns[static_cast<std::size_t>(positionOf(p))] = -1;
    // Doubling the stored sign marks a position as emitted without losing its sign.
    auto emit = [&](const TWaveletPoint& p) {
        if (isEmptySlot(p))
            return;
        std::int8_t& sign = currentSigns[static_cast<std::size_t>(positionOf(p))];
        if (sign == 1 || sign == -1) {
            probe.Tokens.push_back(static_cast<std::uint16_t>(positionOf(p) * 2 + (sign < 0 ? 1 : 0)));
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
    for (std::size_t o = 0; o < probe.TurnedTokens.size(); ++o) {
        std::vector<std::int8_t>& signs = probe.TurnedSigns[o];
        std::vector<std::uint16_t>& turned = probe.TurnedTokens[o];
        for (std::uint16_t token : turned)
            signs[token >> 1] = 0;
        turned.clear();
        for (std::uint16_t token : probe.Tokens) {
            const std::uint16_t moved = maps[o][token];
            turned.push_back(moved);
            signs[moved >> 1] = (moved & 1) ? -1 : 1;
        }
    }
}

namespace {

// Slots of `pos` and `neg` whose sign `signs` (the current picture's) shares.
template <typename List>
std::int32_t agreeingSlots(const List& pos, const List& neg, const std::vector<std::int8_t>& signs)
{
    std::int32_t count = 0;
    for (const TWaveletPoint& p : pos)
        if (!isEmptySlot(p) && signs[static_cast<std::size_t>(positionOf(p))] > 0)
            ++count;
    for (const TWaveletPoint& p : neg)
        if (!isEmptySlot(p) && signs[static_cast<std::size_t>(positionOf(p))] < 0)
            ++count;
    return count;
}

// The kept slots of `pos` and `neg` as tokens, positives first.
template <typename List>
void tokensOf(const List& pos, const List& neg, std::vector<std::uint16_t>& out)
{
    out.clear();
    for (const TWaveletPoint& p : pos)
        if (!isEmptySlot(p))
            out.push_back(static_cast<std::uint16_t>(positionOf(p) * 2));
    for (const TWaveletPoint& p : neg)
        if (!isEmptySlot(p))
            out.push_back(static_cast<std::uint16_t>(positionOf(p) * 2 + 1));
}

} // namespace

std::int32_t FastMatcher::verifiedCount(std::int32_t dense, const std::vector<std::int8_t>& signs) const
{
    const TPicInfo& earlier = m_catalogue.PicList[static_cast<std::size_t>(m_catalogueIndex[static_cast<std::size_t>(dense)])];
    return agreeingSlots(earlier.WaveletCoefsPos, earlier.WaveletCoefsNeg, signs);
}

void FastMatcher::storedTokens(std::int32_t dense, std::vector<std::uint16_t>& out) const
{
    const TPicInfo& info = m_catalogue.PicList[static_cast<std::size_t>(m_catalogueIndex[static_cast<std::size_t>(dense)])];
    tokensOf(info.WaveletCoefsPos, info.WaveletCoefsNeg, out);
}

std::int32_t FastMatcher::selectPrefix(const std::uint16_t* tokens, std::int32_t count, Probe& probe) const
{
    std::vector<std::uint32_t>& keys = probe.Keys;
    keys.clear();
    for (std::int32_t t = 0; t < count; ++t) {
        const std::uint16_t token = tokens[t];
        if (!probe.TokenSeen[token]) {
            probe.TokenSeen[token] = 1;
            keys.push_back(static_cast<std::uint32_t>(m_rank[token]) << 16 | token);
        }
    }
    for (std::uint32_t key : keys)
        probe.TokenSeen[key & 0xFFFF] = 0;
    const auto distinct = static_cast<std::int32_t>(keys.size());
    // Fewer than 125 distinct slots can never agree in 125.
    if (distinct < kPairingCount)
        return 0;
    const std::int32_t length = prefixLength(distinct);
    if (length < distinct)
        std::nth_element(keys.begin(), keys.begin() + length, keys.end());
    return length;
}

void FastMatcher::indexPrefix(std::int32_t dense)
{
    storedTokens(dense, m_probe.Stored);
    const std::int32_t length =
        selectPrefix(m_probe.Stored.data(), static_cast<std::int32_t>(m_probe.Stored.size()), m_probe);
    for (std::int32_t j = 0; j < length; ++j)
        m_postings[m_probe.Keys[static_cast<std::size_t>(j)] & 0xFFFF].push(dense, m_blockSize);
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
    // Each list is sized to what it will hold, so that a million pictures'
    // lists carry no growth slack.
    std::vector<std::uint32_t> lengths(m_postings.size(), 0);
    for (std::int32_t dense = 0; dense < size(); ++dense) {
        storedTokens(dense, m_probe.Stored);
        const std::int32_t length =
            selectPrefix(m_probe.Stored.data(), static_cast<std::int32_t>(m_probe.Stored.size()), m_probe);
        for (std::int32_t j = 0; j < length; ++j)
            ++lengths[m_probe.Keys[static_cast<std::size_t>(j)] & 0xFFFF];
    }
    for (std::size_t token = 0; token < m_postings.size(); ++token) {
        m_postings[token] = {};
        m_postings[token].Dense.reserve(lengths[token]);
    }
    for (std::int32_t dense = 0; dense < size(); ++dense)
        indexPrefix(dense);
}

std::int32_t FastMatcher::signatureWinner(const std::vector<std::uint16_t>& tokens,
                                          const std::vector<std::int8_t>& signs, std::int32_t threshold,
                                          std::int32_t newerThan, double ratio, std::int32_t& agreeing,
                                          Probe& probe) const
{
    const auto kept = static_cast<std::int32_t>(tokens.size());
    if (m_onlyIdentical || kept < threshold || m_catalogueIndex.empty())
        return -1;
    // Prefixes leave out at most 124 - slack tokens of an agreeing set, so a
    // pair agreeing in `threshold` slots shares this many prefix tokens.
    const std::int32_t hits = threshold - (kPairingCount - 1) + kPrefixSlack;
    const std::int32_t length = selectPrefix(tokens.data(), kept, probe);
    probe.Walked.clear();
    for (std::int32_t j = 0; j < length; ++j) {
        const PostingList& list = m_postings[probe.Keys[static_cast<std::size_t>(j)] & 0xFFFF];
        if (!list.Dense.empty())
            probe.Walked.push_back(&list);
    }
    const auto total = static_cast<std::int32_t>(m_catalogueIndex.size());
    probe.Counts.resize(static_cast<std::size_t>(total), 0);
    // Branch-free counting into bytes (a picture is at most once in a list, so
    // no count passes 250), through a plain pointer: a byte store may alias
    // anything, and through the vector the base would be reloaded every step.
    std::uint8_t* const counts = probe.Counts.data();

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
    auto& stretchList = probe.Stretches;
    for (std::int32_t low = (total - 1) / m_blockSize * m_blockSize;
         low >= 0 && winner < 0 && std::min(total, low + m_blockSize) > floor; low -= m_blockSize) {
        const std::int32_t high = std::min(total, low + m_blockSize);
        // Where each list's stretch for this block lies; the stretches are
        // fetched a few lists ahead, as each starts with a cache miss.
        const auto block = static_cast<std::size_t>(low / m_blockSize);
        stretchList.clear();
        for (const PostingList* list : probe.Walked) {
            if (block >= list->BlockStart.size())
                continue;
            const std::uint16_t* const begin = list->Dense.data() + list->BlockStart[block];
            const std::uint16_t* const end = list->Dense.data()
                + (block + 1 < list->BlockStart.size() ? list->BlockStart[block + 1] : list->Dense.size());
            if (begin != end)
                stretchList.push_back({begin, end});
        }
        const std::size_t stretches = stretchList.size();
        std::uint8_t* const blockCounts = counts + low;
        for (std::size_t j = 0; j < std::min<std::size_t>(kFetchAhead, stretches); ++j)
            fetchHead(stretchList[j].first, stretchList[j].second);
        for (std::size_t j = 0; j < stretches; ++j) {
            if (j + kFetchAhead < stretches)
                fetchHead(stretchList[j + kFetchAhead].first, stretchList[j + kFetchAhead].second);
            const std::uint16_t* const end = stretchList[j].second;
            const std::uint16_t* offset = stretchList[j].first;
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

FastMatcher::Match FastMatcher::recentMatch(std::int32_t index, const AnalysedPicture& picture, double ratio,
                                            const Recent& earlier, const Probe& probe) const
{
    const AnalysedPicture& other = *earlier.Picture;
    if (!AspectGatePasses(AspectRatio(other.Height, other.Width), ratio))
        return {};
    // Identity first, with the same shortcuts as the head table's candidates.
    if (other.PreBuffer == picture.PreBuffer
        && !(picture.FileSize >= 0 && other.FileSize >= 0 && other.FileSize != picture.FileSize)
        && m_identical(earlier.Index, index))
        return {earlier.Index, SimilarityFromScore(100.0)};
    if (m_onlyIdentical)
        return {};
    // Unrelated pictures agree in about 40 slots: most are given up on long
    // before the end, where 125 can no longer be reached.
    const auto kept = static_cast<std::int32_t>(earlier.Tokens.size());
    const std::int32_t giveUp = kPairingCount - kept;
    std::int32_t count = 0;
    for (std::int32_t t = 0; t < kept && count - t > giveUp - 1; ++t) {
        const std::uint16_t token = earlier.Tokens[static_cast<std::size_t>(t)];
        const std::int8_t sign = probe.Signs[token >> 1];
        count += (token & 1) ? sign < 0 : sign > 0;
    }
    if (count >= kPairingCount)
        return {earlier.Index, SimilarityFromScore(ScoreFromCount(count))};
    std::int32_t best = 0;
    for (const std::vector<std::int8_t>& signs : probe.TurnedSigns)
        best = std::max(best, agreeingSlots(other.Pos, other.Neg, signs));
    if (best >= kTurnedPairingCount)
        return {earlier.Index, SimilarityFromScore(ScoreFromCount(best))};
    return {};
}

void FastMatcher::Tokens(const AnalysedPicture& picture, std::vector<std::uint16_t>& out)
{
    tokensOf(picture.Pos, picture.Neg, out);
}

FastMatcher::Match FastMatcher::findPartner(std::int32_t index, const AnalysedPicture& picture)
{
    return findPartner(index, picture, {}, m_probe);
}

FastMatcher::Match FastMatcher::findPartner(std::int32_t index, const AnalysedPicture& picture,
                                            std::span<const Recent> recent, Probe& probe) const
{
    if (!m_onlyIdentical)
        collectTokens(picture, probe);
    const double ratio = AspectRatio(picture.Height, picture.Width);
    // The plain loop meets the recent pictures before any added one.
    for (auto it = recent.rbegin(); it != recent.rend(); ++it)
        if (const Match match = recentMatch(index, picture, ratio, *it, probe); match.Earlier >= 0)
            return match;

    std::int32_t agreeing = 0;
    std::int32_t bySignature = signatureWinner(probe.Tokens, probe.Signs, kPairingCount, -1, ratio, agreeing, probe);
    if (m_matchTurned) {
        // A turned orientation wins only with a newer picture than the
        // unturned winner, which keeps its own count.
        const std::int32_t unturned = bySignature;
        for (std::size_t o = 0; o < probe.TurnedTokens.size(); ++o) {
            std::int32_t count = 0;
            const std::int32_t found = signatureWinner(probe.TurnedTokens[o], probe.TurnedSigns[o],
                                                       kTurnedPairingCount, bySignature, ratio, count, probe);
            if (found >= 0)
                bySignature = found;
        }
        if (bySignature != unturned) {
            agreeing = 0;
            for (const std::vector<std::int8_t>& signs : probe.TurnedSigns)
                agreeing = std::max(agreeing, verifiedCount(bySignature, signs));
        }
    }

    // The plain loop stops at the newest picture that is identical or agrees
    // well enough, so only identical candidates not older than the signature
    // winner can change the answer (the winner itself included: identity first).
    if (!m_headBucket.empty()) {
        const std::uint64_t hash = headHash(picture.PreBuffer);
        const std::size_t bucket = hash & (m_headBucket.size() - 1);
        for (std::int32_t dense = m_headBucket[bucket]; dense >= 0 && dense >= bySignature;
             dense = m_headNext[static_cast<std::size_t>(dense)]) {
            const auto at = static_cast<std::size_t>(dense);
            const std::int32_t earlier = m_catalogueIndex[at];
            if (m_headHash[at] != hash || !AspectGatePasses(m_ratio[at], ratio)
                || m_catalogue.PicList[static_cast<std::size_t>(earlier)].PreBuffer != picture.PreBuffer)
                continue;
            // Pictures of one camera often share their first 256 bytes; files of
            // different lengths cannot be identical, so they are not read.
            if (picture.FileSize >= 0 && m_sizes[at] >= 0 && m_sizes[at] != picture.FileSize)
                continue;
            if (m_identical(earlier, index))
                return {earlier, SimilarityFromScore(100.0)};
        }
    }
    if (bySignature < 0)
        return {};
    return {m_catalogueIndex[static_cast<std::size_t>(bySignature)],
            SimilarityFromScore(ScoreFromCount(agreeing))};
}

void FastMatcher::insertHead(std::int32_t dense)
{
    const auto link = [this](std::int32_t d) {
        std::int32_t& first = m_headBucket[m_headHash[static_cast<std::size_t>(d)] & (m_headBucket.size() - 1)];
        m_headNext[static_cast<std::size_t>(d)] = first;
        first = d;
    };
    if (static_cast<std::size_t>(size()) > m_headBucket.size() / 2) {
        // Twice the buckets, linked again oldest first so that chains run newest first.
        m_headBucket.assign(std::max<std::size_t>(1024, m_headBucket.size() * 2), -1);
        for (std::int32_t d = 0; d <= dense; ++d)
            link(d);
        return;
    }
    link(dense);
}

void FastMatcher::add(std::int32_t index, const AnalysedPicture& picture)
{
    const auto dense = static_cast<std::int32_t>(m_catalogueIndex.size());
    m_catalogueIndex.push_back(index);
    m_ratio.push_back(AspectRatio(picture.Height, picture.Width));
    m_sizes.push_back(picture.FileSize);
    m_headHash.push_back(headHash(picture.PreBuffer));
    m_headNext.push_back(-1);
    insertHead(dense);
    if (m_onlyIdentical)
        return;
    storedTokens(dense, m_probe.Stored);
    for (std::uint16_t token : m_probe.Stored) {
        if (!m_probe.TokenSeen[token]) {
            m_probe.TokenSeen[token] = 1;
            ++m_frequency[token];
        }
    }
    for (std::uint16_t token : m_probe.Stored)
        m_probe.TokenSeen[token] = 0;
    // The order follows the frequencies seen so far, at sizes four times apart,
    // so indexing again costs little next to the searches in between.
    if (size() == m_nextReorder) {
        m_nextReorder *= 4;
        reorder();
    } else {
        indexPrefix(dense);
    }
}

namespace {

// Runs the partner searches of one batch of pictures on several threads, each
// with its own probe; the calling thread takes part.
class ProbeTeam final {
public:
    using Job = std::function<void(std::int32_t item, FastMatcher::Probe& probe)>;

    ProbeTeam(const FastMatcher& matcher, int threads)
    {
        for (int t = 0; t < std::max(threads, 1); ++t)
            m_probes.push_back(matcher.makeProbe());
        for (int t = 1; t < threads; ++t)
            m_helpers.emplace_back([this, t] { helperLoop(static_cast<std::size_t>(t)); });
    }

    ~ProbeTeam()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_start.notify_all();
        for (std::thread& helper : m_helpers)
            helper.join();
    }

    ProbeTeam(const ProbeTeam&) = delete;
    ProbeTeam& operator=(const ProbeTeam&) = delete;

    // Calls job(item, probe) for every item in [0, count) and returns when all are done.
    void run(std::int32_t count, const Job& job)
    {
        if (m_helpers.empty() || count <= 1) {
            for (std::int32_t item = 0; item < count; ++item)
                job(item, m_probes[0]);
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_job = &job;
            m_count = count;
            m_next.store(0, std::memory_order_relaxed);
            m_busy = static_cast<int>(m_helpers.size());
            m_error = nullptr;
            ++m_generation;
        }
        m_start.notify_all();
        work(m_probes[0]);
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [this] { return m_busy == 0; });
        m_job = nullptr;
        if (m_error)
            std::rethrow_exception(m_error);
    }

private:
    void work(FastMatcher::Probe& probe)
    {
        for (std::int32_t item = m_next.fetch_add(1); item < m_count; item = m_next.fetch_add(1)) {
            try {
                (*m_job)(item, probe);
            } catch (...) {
                std::lock_guard lock(m_mutex);
                if (!m_error)
                    m_error = std::current_exception();
            }
        }
    }

    void helperLoop(std::size_t probe)
    {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                m_start.wait(lock, [&] { return m_stopping || m_generation != seen; });
                if (m_stopping)
                    return;
                seen = m_generation;
            }
            work(m_probes[probe]);
            std::lock_guard lock(m_mutex);
            if (--m_busy == 0)
                m_done.notify_one();
        }
    }

    std::vector<FastMatcher::Probe> m_probes;  // [0] is the calling thread's
    std::vector<std::thread> m_helpers;
    std::mutex m_mutex;
    std::condition_variable m_start;
    std::condition_variable m_done;
    std::uint64_t m_generation = 0;
    bool m_stopping = false;
    const Job* m_job = nullptr;
    std::int32_t m_count = 0;
    std::atomic<std::int32_t> m_next{0};
    int m_busy = 0;
    std::exception_ptr m_error;
};

// Pictures searched side by side, per thread, at most: each also checks the
// batch members before it directly, which costs more the larger the batch. A
// batch is only what the analysis has ready, so a slow decode never holds
// back the progress.
constexpr std::int32_t kBatchPerThread = 16;

} // namespace

void MatchPicturesFast(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                       const MatchingEnvironment& environment, int threads)
{
    const std::int32_t n = catalogue.PicCapacity;
    const int threadCount = EffectiveThreadCount(threads);
    FastMatcher matcher(
        catalogue, settings.SearchOnlyIdentical,
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
        n, threadCount);
    ProbeTeam team(matcher, threadCount);

    // Each batch is searched against the pictures committed before it, every
    // member also checking the members before it directly, and then committed
    // in catalogue order: the same answers as one picture at a time.
    const std::int32_t batchLimit = threadCount > 1 ? kBatchPerThread * threadCount : 1;
    std::vector<AnalysedPicture> batch(static_cast<std::size_t>(batchLimit));
    std::vector<FastMatcher::Match> found(static_cast<std::size_t>(batchLimit));
    std::vector<FastMatcher::Recent> recent;
    std::vector<std::int32_t> recentBefore(static_cast<std::size_t>(batchLimit));
    std::vector<std::vector<std::uint16_t>> recentTokens(static_cast<std::size_t>(batchLimit));
    const auto searched = [&](const AnalysedPicture& analysed) {
        return analysed.Decoded && PassesSizeTest(analysed.Height, analysed.Width, settings);
    };
    const FastMatcher::Match none;

    for (std::int32_t first = 0; first < n;) {
        if (StopTest(catalogue.SearchStopped, observer))
            return;
        // A picture whose analysis failed unexpectedly ends the batch; the
        // pictures before it are committed first, as one at a time would.
        std::int32_t count = 0;
        std::exception_ptr failure;
        do {
            try {
                batch[static_cast<std::size_t>(count)] = pipeline.take(first + count);
            } catch (...) {
                failure = std::current_exception();
                break;
            }
            ++count;
        } while (count < batchLimit && first + count < n && pipeline.ready(first + count));

        recent.clear();
        for (std::int32_t b = 0; b < count; ++b) {
            recentBefore[static_cast<std::size_t>(b)] = static_cast<std::int32_t>(recent.size());
            if (searched(batch[static_cast<std::size_t>(b)]) && batchLimit > 1) {
                std::vector<std::uint16_t>& tokens = recentTokens[static_cast<std::size_t>(b)];
                FastMatcher::Tokens(batch[static_cast<std::size_t>(b)], tokens);
                recent.push_back({first + b, &batch[static_cast<std::size_t>(b)], tokens});
            }
        }
        team.run(count, [&](std::int32_t b, FastMatcher::Probe& probe) {
            const AnalysedPicture& analysed = batch[static_cast<std::size_t>(b)];
            found[static_cast<std::size_t>(b)] = searched(analysed)
                ? matcher.findPartner(first + b, analysed,
                                      std::span(recent.data(), static_cast<std::size_t>(recentBefore[std::size_t(b)])),
                                      probe)
                : none;
        });

        for (std::int32_t b = 0; b < count; ++b) {
            const std::int32_t k = first + b;
            if (b > 0 && StopTest(catalogue.SearchStopped, observer))
                return;
            catalogue.LastPicIndex = k;
            const AnalysedPicture& analysed = batch[static_cast<std::size_t>(b)];
            if (!searched(analysed)) {
                if (!analysed.Decoded)
                    ReportNotDecoded(observer, catalogue.FullPath(k), analysed);
                observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
                continue;
            }
            StoreAnalysis(catalogue, k, analysed, settings.SearchOnlyIdentical);
            const FastMatcher::Match& match = found[static_cast<std::size_t>(b)];
            if (match.Earlier >= 0) {
                catalogue.AddPair({match.Earlier, k, match.Similarity});
                observer.duplicatesFoundText(DuplicatesCountText(catalogue.LastPairIndex + 1));
            }
            matcher.add(k, analysed);
            observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
            observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
        }
        first += count;
        if (failure) {
            if (count > 0 && StopTest(catalogue.SearchStopped, observer))
                return;
            catalogue.LastPicIndex = first;
            std::rethrow_exception(failure);
        }
    }
    observer.filesCountText(FilesCountText(catalogue.LastPicIndex + 1, n));
}

} // namespace ferrovin
