#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/catalogue/catalogue.h"

namespace ferrovin {

// Comparers answer < 0 when A sorts before B, 0 for a tie, > 0 after. B may be
// a copy (the pivot, the record being inserted) rather than a table element.
using TPairCompare = int (*)(const TPicturePair& A, const TPicturePair& B, bool Descending);
using TPairCatalogueCompare = int (*)(const TPicturePair& A, const TPicturePair& B,
                                      bool Descending, const TStringArr& PathList,
                                      const TPicList& PicList);

// Called once between the partition and the insertion phase of a sort, so a
// front end can repaint; the table is then a permutation split into sorted
// runs of at most 16 records. It must not touch the table.
using SortPause = std::function<void()>;

// Ordinal comparison with only the ASCII letters a-z folded to A-Z: the first
// differing folded byte decides, else the shorter text sorts first.
int CompareText(std::string_view A, std::string_view B);

// Full path of PicIndex1 (column "Original Image"), of PicIndex2 ("Duplicate
// Image"), and the similarity ("Similarity"); descending only negates.
int CompareByPath1(const TPicturePair& A, const TPicturePair& B, bool Descending,
                   const TStringArr& PathList, const TPicList& PicList);
int CompareByPath2(const TPicturePair& A, const TPicturePair& B, bool Descending,
                   const TStringArr& PathList, const TPicList& PicList);
int CompareBySimilarity(const TPicturePair& A, const TPicturePair& B, bool Descending);

// Sorts T[L..R] in place: an iterative median-of-three quicksort down to runs
// of 16, `pause`, then one insertion pass with a sentinel. Not stable.
void SortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
               bool Descending, const SortPause& pause = {});
void QuickSortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
                    bool Descending);
// Only valid right after QuickSortPairs on the same range, or on at most 16 records.
void InsertionSortPairs(TPicturePairs& T, std::int32_t L, std::int32_t R, TPairCompare Compare,
                        bool Descending);

void SortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T, const TStringArr& PathList,
                            std::int32_t L, std::int32_t R, TPairCatalogueCompare Compare,
                            bool Descending, const SortPause& pause = {});
void QuickSortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T,
                                 const TStringArr& PathList, std::int32_t L, std::int32_t R,
                                 TPairCatalogueCompare Compare, bool Descending);
void InsertionSortPairsWithCatalogue(const TPicList& PicList, TPicturePairs& T,
                                     const TStringArr& PathList, std::int32_t L, std::int32_t R,
                                     TPairCatalogueCompare Compare, bool Descending);

// The result list's column sort: 0 and 1 by path, 2 by similarity, over the
// whole pair table.
void SortPairsByColumn(Catalogue& catalogue, int column, bool Descending,
                       const SortPause& pause = {});

} // namespace ferrovin
