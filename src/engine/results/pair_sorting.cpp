#include "engine/results/pair_sorting.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace ferrovin {

namespace {

constexpr std::int32_t kCutOff = 15;        // partition only while R - L > 15
constexpr std::int32_t kSentinelWindow = 16;

inline unsigned char fold(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// A full path as its two stored parts, so that comparing never builds the
// string: sorting a million pairs would otherwise spend most of its time in
// the allocator.
struct JoinedPath {
    std::string_view part[2];
};

int compareJoined(const JoinedPath& A, const JoinedPath& B)
{
    if (A.part[0].data() == B.part[0].data() && A.part[0].size() == B.part[0].size())
        return CompareText(A.part[1], B.part[1]);  // same folder: the names decide
    int sa = 0, sb = 0;
    std::size_t ia = 0, ib = 0;
    for (;;) {
        while (sa < 2 && ia == A.part[sa].size()) {
            ++sa;
            ia = 0;
        }
        while (sb < 2 && ib == B.part[sb].size()) {
            ++sb;
            ib = 0;
        }
        if (sa == 2 || sb == 2)
            break;
        const std::size_t n = std::min(A.part[sa].size() - ia, B.part[sb].size() - ib);
        const auto* p = reinterpret_cast<const unsigned char*>(A.part[sa].data() + ia);
        const auto* q = reinterpret_cast<const unsigned char*>(B.part[sb].data() + ib);
        for (std::size_t k = 0; k < n; ++k) {
            if (p[k] != q[k]) {
                const int d = int(fold(p[k])) - int(fold(q[k]));
                if (d != 0)
                    return d;
            }
        }
        ia += n;
        ib += n;
    }
    const auto lengthA = static_cast<std::ptrdiff_t>(A.part[0].size() + A.part[1].size());
    const auto lengthB = static_cast<std::ptrdiff_t>(B.part[0].size() + B.part[1].size());
    return static_cast<int>(std::clamp<std::ptrdiff_t>(lengthA - lengthB, -1 << 30, 1 << 30));
}

JoinedPath pathOf(std::int32_t picIndex, const TStringArr& PathList, const TPicList& PicList)
{
    const TPicInfo& pic = PicList[static_cast<std::size_t>(picIndex)];
    return {{PathList[static_cast<std::size_t>(pic.PathInd)], pic.FileName}};
}

inline void swapRecords(TPicturePair& a, TPicturePair& b)
{
    const TPicturePair t = a;
    a = b;
    b = t;
}

template <class Compare>
void quickSort(TPicturePairs& T, std::int32_t L, std::int32_t R, const Compare& compare)
{
    if (R - L <= kCutOff)
        return;
    // Each pending range is two entries; working on the smaller part first
    // keeps fewer than 32 ranges pending for any 32-bit table.
    std::array<std::int32_t, 64> stack;
    int top = 0;
    stack[top++] = L;
    stack[top++] = R;
    while (top > 0) {
        R = stack[--top];
        L = stack[--top];
        while (R - L > kCutOff) {
            const std::int32_t M = L + (R - L) / 2;
            if (compare(T[L], T[M]) > 0)
                swapRecords(T[L], T[M]);
            if (compare(T[L], T[R]) > 0)
                swapRecords(T[L], T[R]);
            if (compare(T[M], T[R]) > 0)
                swapRecords(T[M], T[R]);
            const TPicturePair pivot = T[M];
            std::int32_t i = L;
            std::int32_t j = R;
            for (;;) {
                do
                    --j;
                while (compare(T[j], pivot) > 0);
                do
                    ++i;
                while (compare(T[i], pivot) < 0);
                if (j <= i)
                    break;
                swapRecords(T[i], T[j]);
            }
            if (j - L < R - j) {
                stack[top++] = j + 1;
                stack[top++] = R;
                R = j;
            } else {
                stack[top++] = L;
                stack[top++] = j;
                L = j + 1;
            }
        }
    }
}

template <class Compare>
void insertionSort(TPicturePairs& T, std::int32_t L, std::int32_t R, const Compare& compare)
{
    if (R <= L)
        return;
    // After the partition phase the smallest record lies within the first run.
    std::int32_t m = L;
    const std::int32_t windowEnd = std::min(L + kSentinelWindow - 1, R);
    for (std::int32_t k = L + 1; k <= windowEnd; ++k) {
        if (compare(T[k], T[m]) < 0)
            m = k;
    }
    if (m != L)
        swapRecords(T[L], T[m]);
    for (std::int32_t k = L + 2; k <= R; ++k) {
        const TPicturePair x = T[k];
        std::int32_t j = k;
        while (compare(x, T[j - 1]) < 0) {  // stops at the sentinel T[L]
            T[j] = T[j - 1];
            --j;
        }
        T[j] = x;
    }
}

auto plain(TPairCompare Compare, bool Descending)
{
    return [Compare, Descending](const TPicturePair& a, const TPicturePair& b) {
        return Compare(a, b, Descending);
    };
}

auto withCatalogue(TPairCatalogueCompare Compare, bool Descending, const TStringArr& PathList,
                   const TPicList& PicList)
{
    return [=, &PathList, &PicList](const TPicturePair& a, const TPicturePair& b) {
        return Compare(a, b, Descending, PathList, PicList);
    };
}

} // namespace

int CompareText(std::string_view A, std::string_view B)
{
    const std::size_t n = std::min(A.size(), B.size());
    for (std::size_t k = 0; k < n; ++k) {
        const auto a = static_cast<unsigned char>(A[k]);
        const auto b = static_cast<unsigned char>(B[k]);
        if (a != b) {
            const int d = int(fold(a)) - int(fold(b));
            if (d != 0)
                return d;
        }
    }
    const auto diff = static_cast<std::ptrdiff_t>(A.size()) - static_cast<std::ptrdiff_t>(B.size());
    return static_cast<int>(std::clamp<std::ptrdiff_t>(diff, -1 << 30, 1 << 30));
}

int CompareByPath1(const TPicturePair& A, const TPicturePair& B, bool Descending,
                   const TStringArr& PathList, const TPicList& PicList)
{
    const int r = compareJoined(pathOf(A.PicIndex1, PathList, PicList),
                                pathOf(B.PicIndex1, PathList, PicList));
    return Descending ? -r : r;
}

int CompareByPath2(const TPicturePair& A, const TPicturePair& B, bool Descending,
                   const TStringArr& PathList, const TPicList& PicList)
{
    const int r = compareJoined(pathOf(A.PicIndex2, PathList, PicList),
                                pathOf(B.PicIndex2, PathList, PicList));
    return Descending ? -r : r;
}

int CompareBySimilarity(const TPicturePair& A, const TPicturePair& B, bool Descending)
{
    // Equal and unordered values tie, whatever the direction.
    if (!(A.Similarity < B.Similarity) && !(A.Similarity > B.Similarity))
        return 0;
    const int r = A.Similarity > B.Similarity ? 1 : -1;
    return Descending ? -r : r;
}

void QuickSortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
                    bool Descending)
{
    quickSort(T, L, R, plain(Compare, Descending));
}

void InsertionSortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
                        bool Descending)
{
    insertionSort(T, L, R, plain(Compare, Descending));
}

void SortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
               bool Descending, const SortPause& pause)
{
    const auto compare = plain(Compare, Descending);
    quickSort(T, L, R, compare);
    if (pause)
        pause();
    insertionSort(T, L, R, compare);
}

void QuickSortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T,
                                 const TStringArr& PathList, std::int32_t L, std::int32_t R,
                                 TPairCatalogueCompare Compare, bool Descending)
{
    quickSort(T, L, R, withCatalogue(Compare, Descending, PathList, PicList));
}

void InsertionSortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T,
                                     const TStringArr& PathList, std::int32_t L, std::int32_t R,
                                     TPairCatalogueCompare Compare, bool Descending)
{
    insertionSort(T, L, R, withCatalogue(Compare, Descending, PathList, PicList));
}

void SortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T, const TStringArr& PathList,
                            std::int32_t L, std::int32_t R, TPairCatalogueCompare Compare,
                            bool Descending, const SortPause& pause)
{
    const auto compare = withCatalogue(Compare, Descending, PathList, PicList);
    quickSort(T, L, R, compare);
    if (pause)
        pause();
    insertionSort(T, L, R, compare);
}

namespace {

// The folded full paths of the pictures a column names, side by side in one
// block. Comparing folded bytes with memcmp has the sign CompareText gives the
// paths, so the sort makes exactly the same moves; it only stops chasing each
// picture's record and strings across memory on every comparison.
class FoldedPaths final {
public:
    FoldedPaths(const Catalogue& catalogue, bool second)
        : m_where(catalogue.PicList.size(), kAbsent)
    {
        for (std::int32_t i = 0; i <= catalogue.LastPairIndex; ++i) {
            const TPicturePair& pair = catalogue.PicturePairs[std::size_t(i)];
            const std::int32_t p = second ? pair.PicIndex2 : pair.PicIndex1;
            std::uint64_t& where = m_where[std::size_t(p)];
            if (where != kAbsent)
                continue;
            const TPicInfo& pic = catalogue.PicList[std::size_t(p)];
            const std::string& folder = catalogue.PathList[std::size_t(pic.PathInd)];
            const std::size_t start = m_text.size();
            for (const std::string* part : {&folder, &pic.FileName}) {
                for (const char c : *part)
                    m_text.push_back(char(fold(static_cast<unsigned char>(c))));
            }
            where = (std::uint64_t(start) << 20) | std::uint64_t(m_text.size() - start);
        }
    }

    int compare(std::int32_t a, std::int32_t b) const
    {
        const std::uint64_t wa = m_where[std::size_t(a)];
        const std::uint64_t wb = m_where[std::size_t(b)];
        const std::size_t la = wa & kLengthMask;
        const std::size_t lb = wb & kLengthMask;
        const int r = std::memcmp(m_text.data() + (wa >> 20), m_text.data() + (wb >> 20),
                                  std::min(la, lb));
        if (r != 0)
            return r;
        return la < lb ? -1 : (la > lb ? 1 : 0);
    }

private:
    static constexpr std::uint64_t kAbsent = ~std::uint64_t(0);
    static constexpr std::uint64_t kLengthMask = (1u << 20) - 1;
    std::vector<std::uint64_t> m_where;
    std::string m_text;  // paths never reach the 2^20 bytes of the length field
};

} // namespace

void SortPairsByColumn(Catalogue& catalogue, int column, bool Descending, const SortPause& pause)
{
    TPicturePairs& T = catalogue.PicturePairs;
    const std::int32_t R = catalogue.LastPairIndex;
    if (column == 2) {
        SortPairs(T, 0, R, &CompareBySimilarity, Descending, pause);
        return;
    }
    const bool second = column != 0;
    const FoldedPaths paths(catalogue, second);
    const auto compare = [&](const TPicturePair& a, const TPicturePair& b) {
        const int r = second ? paths.compare(a.PicIndex2, b.PicIndex2)
                             : paths.compare(a.PicIndex1, b.PicIndex1);
        return Descending ? -r : r;
    };
    quickSort(T, 0, R, compare);
    if (pause)
        pause();
    insertionSort(T, 0, R, compare);
}

} // namespace ferrovin
