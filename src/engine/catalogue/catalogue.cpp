#include "engine/catalogue/catalogue.h"

#include <algorithm>
#include <new>
#include <utility>

namespace ferrovin {

bool GrowthDue(std::int32_t storedIndex, std::int32_t capacity)
{
    return storedIndex >= capacity - kGrowthStep && storedIndex % kGrowthStep == 0;
}

TWaveletCoefs TWaveletList::Expanded() const
{
    TWaveletCoefs slots{};
    std::copy(begin(), end(), slots.begin());
    return slots;
}

TWaveletList TSignatureStore::Append(const TWaveletCoefs& slots)
{
    std::int32_t filled = kWaveletSlots;
    while (filled > 0 && slots[static_cast<std::size_t>(filled - 1)] == TWaveletPoint{})
        --filled;
    if (filled == 0)
        return {};
    if (m_usedInLast + static_cast<std::size_t>(filled) > kChunkPoints) {
        m_chunks.push_back(std::make_unique<TWaveletPoint[]>(kChunkPoints));
        m_usedInLast = 0;
    }
    TWaveletPoint* const at = m_chunks.back().get() + m_usedInLast;
    std::copy_n(slots.begin(), filled, at);
    m_usedInLast += static_cast<std::size_t>(filled);
    return {at, filled};
}

void TSignatureStore::Clear()
{
    std::vector<std::unique_ptr<TWaveletPoint[]>>().swap(m_chunks);
    m_usedInLast = kChunkPoints;
}

namespace {

template <typename Table>
void growIfDue(Table& table, std::int32_t storedIndex, std::int32_t& capacity)
{
    if (GrowthDue(storedIndex, capacity)) {
        capacity += kGrowthStep;
        table.resize(static_cast<std::size_t>(capacity));
    }
}

template <typename Table>
void releaseTable(Table& table)
{
    Table().swap(table);
}

} // namespace

void Catalogue::Reset(std::int32_t capacity)
{
    LastPicIndex = -1;
    LastPathIndex = -1;
    LastPairIndex = -1;
    DuplicatesSize = 0;
    releaseTable(PicList);
    Signatures.Clear();
    releaseTable(PicturePairs);
    releaseTable(PathList);
    PairCapacity = 0;
    PicCapacity = 0;
    PathCapacity = 0;
    try {
        PicList.resize(static_cast<std::size_t>(capacity));
        PathList.resize(static_cast<std::size_t>(capacity));
        PicCapacity = PathCapacity = capacity;
    } catch (const std::bad_alloc&) {
        releaseTable(PicList);
        releaseTable(PathList);
        // A second failure is not caught here: it ends the search.
        PicList.resize(static_cast<std::size_t>(kFallbackCapacity));
        PathList.resize(static_cast<std::size_t>(kFallbackCapacity));
        PicCapacity = PathCapacity = kFallbackCapacity;
    }
}

void Catalogue::AllocatePairs(std::int32_t capacity)
{
    try {
        PicturePairs.assign(static_cast<std::size_t>(capacity), TPicturePair{});
        PairCapacity = capacity;
    } catch (const std::bad_alloc&) {
        PicturePairs.assign(static_cast<std::size_t>(kFallbackCapacity), TPicturePair{});
        PairCapacity = kFallbackCapacity;
    }
}

std::int32_t Catalogue::RegisterFolder(const std::string& path)
{
    ++LastPathIndex;
    PathList[static_cast<std::size_t>(LastPathIndex)] = path;
    growIfDue(PathList, LastPathIndex, PathCapacity);
    return LastPathIndex;
}

TPicInfo& Catalogue::CataloguePicture()
{
    ++LastPicIndex;
    // The caller fills the record, then the growth rule runs; growing first keeps
    // the returned reference valid for the caller and gives the same capacities.
    growIfDue(PicList, LastPicIndex, PicCapacity);
    return PicList[static_cast<std::size_t>(LastPicIndex)];
}

void Catalogue::AddPair(const TPicturePair& pair)
{
    ++LastPairIndex;
    PicturePairs[static_cast<std::size_t>(LastPairIndex)] = pair;
    growIfDue(PicturePairs, LastPairIndex, PairCapacity);
}

void Catalogue::TrimAfterScan()
{
    PathCapacity = LastPathIndex + 1;
    PicCapacity = LastPicIndex + 1;
    PathList.resize(static_cast<std::size_t>(PathCapacity));
    PathList.shrink_to_fit();
    PicList.resize(static_cast<std::size_t>(PicCapacity));
    PicList.shrink_to_fit();
}

void Catalogue::TrimAfterMatching()
{
    PairCapacity = LastPairIndex + 1;
    PicturePairs.resize(static_cast<std::size_t>(PairCapacity));
    PicturePairs.shrink_to_fit();
}

void Catalogue::RemovePairsOf(std::int32_t picIndex)
{
    const auto end = PicturePairs.begin() + (LastPairIndex + 1);
    const auto kept = std::remove_if(PicturePairs.begin(), end, [picIndex](const TPicturePair& p) {
        return p.PicIndex1 == picIndex || p.PicIndex2 == picIndex;
    });
    const auto count = static_cast<std::int32_t>(kept - PicturePairs.begin());
    PicturePairs.resize(static_cast<std::size_t>(count));
    LastPairIndex = count - 1;
    PairCapacity = count;
    if (picIndex >= 0 && picIndex < static_cast<std::int32_t>(PicList.size()))
        PicList[static_cast<std::size_t>(picIndex)].Deleted = true;
}

void Catalogue::SwapPair(std::int32_t pairIndex)
{
    auto& pair = PicturePairs[static_cast<std::size_t>(pairIndex)];
    std::swap(pair.PicIndex1, pair.PicIndex2);
}

void Catalogue::Release()
{
    releaseTable(PathList);
    releaseTable(PicList);
    Signatures.Clear();
    LastPairIndex = -1;
    releaseTable(PicturePairs);
    PathCapacity = PicCapacity = PairCapacity = 0;
}

void Catalogue::StoreWaveletCoefs(std::int32_t picIndex, const TWaveletCoefs& pos, const TWaveletCoefs& neg)
{
    TPicInfo& info = PicList[static_cast<std::size_t>(picIndex)];
    info.WaveletCoefsPos = Signatures.Append(pos);
    info.WaveletCoefsNeg = Signatures.Append(neg);
}

std::string Catalogue::FullPath(std::int32_t picIndex) const
{
    const TPicInfo& pic = PicList[static_cast<std::size_t>(picIndex)];
    return PathList[static_cast<std::size_t>(pic.PathInd)] + pic.FileName;
}

} // namespace ferrovin
