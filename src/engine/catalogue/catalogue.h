#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ferrovin {

enum class TCCVStage : std::uint8_t { None = 0, OnlyTotal = 1, Full = 2 };

// One coefficient position: X is the row, Y the column of the 128 x 128 matrix.
// (0, 0) marks an empty slot, since that coefficient is never kept. Both fit
// in a byte.
struct TWaveletPoint {
    std::uint8_t X = 0;
    std::uint8_t Y = 0;
    constexpr TWaveletPoint() = default;
    constexpr TWaveletPoint(int x, int y) : X(static_cast<std::uint8_t>(x)), Y(static_cast<std::uint8_t>(y)) {}
    friend bool operator==(const TWaveletPoint&, const TWaveletPoint&) = default;
};
static_assert(sizeof(TWaveletPoint) == 2);

inline constexpr int kWaveletSlots = 250;
inline constexpr int kPreBufferSize = 256;

using TWaveletCoefs = std::array<TWaveletPoint, kWaveletSlots>;
using TPreBuffer = std::array<std::uint8_t, kPreBufferSize>;

// A catalogued list of 250 slots, filled from slot 0: the slots up to the last
// filled one are stored (in the catalogue's TSignatureStore), the rest read as
// (0, 0). A photo keeps about 250 positions of both signs together, so this
// holds a picture's two lists in about 500 bytes instead of 1,000, and a
// picture that never reaches Full holds none.
struct TWaveletList {
    const TWaveletPoint* Slots = nullptr;
    std::int32_t Filled = 0;

    const TWaveletPoint* begin() const { return Slots; }
    const TWaveletPoint* end() const { return Slots + Filled; }
    TWaveletPoint operator[](int slot) const { return slot < Filled ? Slots[slot] : TWaveletPoint{}; }
    TWaveletCoefs Expanded() const;
    friend bool operator==(const TWaveletList& list, const TWaveletCoefs& coefs) { return list.Expanded() == coefs; }
};

// Storage of the catalogued lists, in chunks that never move, so that a list
// stays valid while later ones are added.
class TSignatureStore {
public:
    TWaveletList Append(const TWaveletCoefs& coefs);
    void Clear();
    std::size_t BytesHeld() const { return m_chunks.size() * kChunkPoints * sizeof(TWaveletPoint); }

private:
    // 256 KB a chunk: large enough to be mapped on its own and given back whole.
    static constexpr std::size_t kChunkPoints = 128 * 1024;
    std::vector<std::unique_ptr<TWaveletPoint[]>> m_chunks;
    std::size_t m_usedInLast = kChunkPoints;
};

// One catalogued picture file. Fields in their declared order; a new entry is
// all zeros (empty name, false, None, (0, 0)).
struct TPicInfo {
    std::int32_t Time = 0;     // last write, local time, MS-DOS date (high 16) / time (low 16)
    std::int64_t Size = 0;     // file size in bytes
    std::uint32_t Attr = 0;    // 0x01 read-only, 0x02 hidden, 0x20 archive
    std::string FileName;      // name without folder, bytes as the listing gives them
    std::int32_t PathInd = 0;  // index into PathList
    bool Deleted = false;      // set when a file action deleted or moved the file
    TCCVStage CCVStage = TCCVStage::None;
    TWaveletList WaveletCoefsPos{};
    TWaveletList WaveletCoefsNeg{};
    std::int32_t Height = 0;   // of the decoded (possibly reduced) full raster
    std::int32_t Width = 0;
    TPreBuffer PreBuffer{};    // first 256 bytes of the file, zeros past its end
};

struct TPicturePair {
    std::int32_t PicIndex1 = 0;  // "Original Image": catalogued earlier when found
    std::int32_t PicIndex2 = 0;  // "Duplicate Image"
    double Similarity = 0.0;     // percent, 1 ... 100
    friend bool operator==(const TPicturePair&, const TPicturePair&) = default;
};

using TPicList = std::vector<TPicInfo>;
using TPicturePairs = std::vector<TPicturePair>;
using TStringArr = std::vector<std::string>;

inline constexpr std::int32_t kStartCapacity = 30000;
inline constexpr std::int32_t kFallbackCapacity = 15000;
inline constexpr std::int32_t kGrowthStep = 1000;

// The in-memory data of one search. Tables keep their length equal to their
// capacity counter; the last-index counters are -1 for an empty table.
struct Catalogue {
    TPicList PicList;
    TSignatureStore Signatures;  // the slots behind PicList's wavelet lists
    TStringArr PathList;
    TPicturePairs PicturePairs;
    std::int32_t LastPicIndex = 0;
    std::int32_t LastPathIndex = 0;
    std::int32_t LastPairIndex = 0;
    std::int32_t PicCapacity = 0;
    std::int32_t PathCapacity = 0;
    std::int32_t PairCapacity = 0;
    // True while no search runs and as soon as a stop was requested. Atomic because
    // the front end raises it from its own thread while the search runs on a worker.
    std::atomic<bool> SearchStopped{true};
    std::uint32_t SearchStartTick = 0;  // milliseconds, steady clock, at search start
    std::int32_t DuplicatesSize = 0;    // shown on a hidden label; nothing adds to it

    // Search start: counters to -1, tables emptied, then PicList and PathList
    // sized to `capacity` (30000), falling back to 15000 when memory runs short.
    void Reset(std::int32_t capacity = kStartCapacity);
    // After the scan: the pair table at 30000, or 15000 when memory runs short.
    void AllocatePairs(std::int32_t capacity = kStartCapacity);

    // Append operations: advance the last index, store, run the growth rule.
    std::int32_t RegisterFolder(const std::string& path);
    TPicInfo& CataloguePicture();  // returns the new zero-filled record
    void AddPair(const TPicturePair& pair);

    void TrimAfterScan();
    void TrimAfterMatching();
    // After a file action: drops every pair naming `picIndex`, keeps the order of
    // the rest, marks the picture Deleted.
    void RemovePairsOf(std::int32_t picIndex);
    void SwapPair(std::int32_t pairIndex);
    // At close: tables released, LastPairIndex -1.
    void Release();

    // Gives picture `picIndex` these lists (copied into Signatures).
    void StoreWaveletCoefs(std::int32_t picIndex, const TWaveletCoefs& pos, const TWaveletCoefs& neg);

    // PathList[PathInd] + FileName, built on demand.
    std::string FullPath(std::int32_t picIndex) const;
};

// The growth rule shared by the three tables: after storing at index n of a table
// of capacity C, grow by 1000 when n >= C - 1000 and n is a multiple of 1000.
bool GrowthDue(std::int32_t storedIndex, std::int32_t capacity);

} // namespace ferrovin
