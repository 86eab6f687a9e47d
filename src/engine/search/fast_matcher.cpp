#include "engine/search/fast_matcher.h"

#include <algorithm>
#include <cstring>

#include "engine/search/pair_matching.h"
#include "engine/search/search_observer.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

// Extra prefix lists walked beyond the pigeonhole minimum: a candidate then
// needs several hits before the exact count is taken, which keeps the
// verification work small when unrelated pictures share a slot or two.
constexpr std::int32_t kPrefixSlack = 12;

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

FastMatcher::FastMatcher(bool onlyIdentical, IdentityFunction identical)
    : m_onlyIdentical(onlyIdentical),
      m_identical(std::move(identical)),
      m_postings(onlyIdentical ? 0 : kTokenCount),
      m_tokenSeen(onlyIdentical ? 0 : kTokenCount, 0),
      m_currentSigns(128 * 128, 0)
{
    m_tokenStart.push_back(0);
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
}

std::int32_t FastMatcher::verifiedCount(std::int32_t dense) const
{
    std::int32_t count = 0;
    const std::uint32_t end = m_tokenStart[static_cast<std::size_t>(dense) + 1];
    for (std::uint32_t t = m_tokenStart[static_cast<std::size_t>(dense)]; t < end; ++t) {
        const std::uint16_t token = m_tokens[t];
        const std::int8_t sign = m_currentSigns[token >> 1];
        if ((token & 1) ? sign < 0 : sign > 0)
            ++count;
    }
    return count;
}

std::int32_t FastMatcher::signatureWinner(double ratio, std::int32_t& agreeing)
{
    const auto kept = static_cast<std::int32_t>(m_currentTokens.size());
    if (m_onlyIdentical || kept < kPairingCount || m_catalogueIndex.empty())
        return -1;
    // An earlier picture agreeing in 125 slots must hit the current picture's
    // slots outside any 124 of them; walk the shortest lists, leave the longest.
    std::vector<std::uint16_t> order(m_currentTokens);
    std::sort(order.begin(), order.end(), [this](std::uint16_t a, std::uint16_t b) {
        const std::size_t la = m_postings[a].size();
        const std::size_t lb = m_postings[b].size();
        return la != lb ? la < lb : a < b;
    });
    const std::int32_t walked = std::min(kept, kept - (kPairingCount - 1) + kPrefixSlack);
    const std::int32_t needed = kPairingCount - (kept - walked);
    m_counts.resize(m_catalogueIndex.size(), 0);
    // Branch-free counting into bytes (a picture is at most once in a list, so
    // no count passes 250), through a plain pointer: a byte store may alias
    // anything, and through the vector the base would be reloaded every step.
    std::uint8_t* const counts = m_counts.data();
    for (std::int32_t j = 0; j < walked; ++j) {
        const std::vector<std::int32_t>& list = m_postings[order[static_cast<std::size_t>(j)]];
        const std::int32_t* const end = list.data() + list.size();
        for (const std::int32_t* dense = list.data(); dense != end; ++dense)
            ++counts[*dense];
    }
    std::int32_t winner = -1;
    auto consider = [&](std::int32_t dense) {
        if (m_counts[static_cast<std::size_t>(dense)] < needed
            || !AspectGatePasses(m_ratio[static_cast<std::size_t>(dense)], ratio))
            return false;
        const std::int32_t count = verifiedCount(dense);
        if (count < kPairingCount)
            return false;
        agreeing = count;
        winner = dense;
        return true;
    };
    // Newest first, eight counters at a time: a word is looked into only when
    // one of its bytes reaches `needed`. Adding 128 - needed to a byte's low
    // seven bits sets its high bit without carrying into the next byte; bytes
    // of 128 and more show through their own high bit.
    const auto total = static_cast<std::int32_t>(m_counts.size());
    std::int32_t dense = total - 1;
    for (; dense >= 0 && (dense + 1) % 8 != 0; --dense)
        if (consider(dense))
            break;
    const std::uint64_t lowBits = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t highBits = 0x8080808080808080ULL;
    const std::uint64_t bias = 0x0101010101010101ULL * static_cast<std::uint64_t>(128 - needed);
    for (; winner < 0 && dense >= 7; dense -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, m_counts.data() + (dense - 7), sizeof word);
        if ((((word & lowBits) + bias) | word) & highBits) {
            for (std::int32_t d = dense; d > dense - 8; --d)
                if (consider(d))
                    break;
        }
    }
    std::fill(m_counts.begin(), m_counts.end(), std::uint8_t{0});
    return winner;
}

FastMatcher::Match FastMatcher::findPartner(std::int32_t index, const AnalysedPicture& picture)
{
    if (!m_onlyIdentical)
        collectTokens(picture);
    const double ratio = AspectRatio(picture.Height, picture.Width);
    std::int32_t agreeing = 0;
    const std::int32_t bySignature = signatureWinner(ratio, agreeing);

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
    m_headIndex[headHash(picture.PreBuffer)].push_back(dense);
    if (!m_onlyIdentical) {
        auto addSlots = [&](const TWaveletCoefs& slots, int negative) {
            for (const TWaveletPoint& p : slots) {
                if (isEmptySlot(p))
                    continue;
                const auto token = static_cast<std::uint16_t>(positionOf(p) * 2 + negative);
                m_tokens.push_back(token);
                if (!m_tokenSeen[token]) {
                    m_tokenSeen[token] = 1;
                    m_postings[token].push_back(dense);
                }
            }
        };
        addSlots(picture.Pos, 0);
        addSlots(picture.Neg, 1);
        for (auto t = m_tokenStart.back(); t < m_tokens.size(); ++t)
            m_tokenSeen[m_tokens[t]] = 0;
    }
    m_tokenStart.push_back(static_cast<std::uint32_t>(m_tokens.size()));
}

void MatchPicturesFast(Catalogue& catalogue, const Settings& settings, SearchObserver& observer,
                       const MatchingEnvironment& environment, int threads)
{
    const std::int32_t n = catalogue.PicCapacity;
    FastMatcher matcher(settings.SearchOnlyIdentical,
                        [&](std::int32_t earlier, std::int32_t current) {
                            return environment.FilesIdentical(catalogue.FullPath(current),
                                                              catalogue.FullPath(earlier));
                        });
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
            observer.progress({n, k + 1, n, catalogue.LastPairIndex + 1});
            continue;
        }
        TPicInfo& current = catalogue.PicList[static_cast<std::size_t>(k)];
        current.Height = analysed.Height;
        current.Width = analysed.Width;
        current.PreBuffer = analysed.PreBuffer;
        if (!settings.SearchOnlyIdentical) {
            current.WaveletCoefsPos = analysed.Pos;
            current.WaveletCoefsNeg = analysed.Neg;
        }
        current.CCVStage = TCCVStage::Full;

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
