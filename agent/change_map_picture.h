// The map of blocks changed since the previous backup, as a PNG a person can
// look at and as text runs a script can read.
#pragma once

#include "block_bitmap.h"

#include <cstdint>
#include <string>

namespace velmora::agent {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &) const = default;
};

inline constexpr Rgb kChangedColour{230, 85, 13};
inline constexpr Rgb kUnchangedColour{214, 214, 214};
inline constexpr Rgb kBackgroundColour{255, 255, 255};
inline constexpr Rgb kTextColour{0, 0, 0};

// Bounds that keep the picture a sensible size whatever the device.
inline constexpr uint32_t kMaxGridColumns = 512;
inline constexpr uint32_t kMaxGridPixels = 1024;  // grid width and height
inline constexpr uint32_t kMaxCellPitch = 8;
inline constexpr uint32_t kDefaultMaxCells = 512 * 512;

struct ChangeMapPictureOptions {
    // At most kMaxGridColumns * kMaxGridPixels, so that every cell keeps a pixel.
    uint32_t maxCells = kDefaultMaxCells;
};

// Where the cells of a map of a given size go in the picture. Cell c stands
// for blocks [c * blocksPerCell, (c + 1) * blocksPerCell), cut at the end of
// the device; it sits at column c % columns, row c / columns, its top-left
// pixel at (left + column * cellPitch, top + row * cellPitch), filled
// cellSize pixels square (a 1 pixel gap parts cells of 4 pixels or more).
struct ChangeMapGrid {
    uint32_t blocksPerCell = 1;
    uint32_t cells = 0;
    uint32_t columns = 0;  // a power of two, so a row starts at a round cell
    uint32_t rows = 0;
    uint32_t cellPitch = 0;
    uint32_t cellSize = 0;
    uint32_t left = 0, top = 0;

    uint32_t width() const { return columns * cellPitch; }
    uint32_t height() const { return rows * cellPitch; }
};

// The grid for a device of `blocks` blocks: the fewest blocks per cell that
// keep it within options.maxCells, a roughly square grid of at most
// kMaxGridColumns columns, and the largest cell (up to kMaxCellPitch pixels)
// that keeps it within kMaxGridPixels square.
// Throws std::invalid_argument when options.maxCells is 0 or too large.
ChangeMapGrid changeMapGrid(uint32_t blocks, const ChangeMapPictureOptions &options = {});

struct ChangeMapSummary {
    uint32_t blocks = 0;         // blocks of the device
    uint32_t changed = 0;        // blocks set in the map
    uint32_t blockSize = 0;      // bytes per block
    uint32_t blocksPerCell = 1;  // blocks one cell of the picture stands for

    // changed / blocks, 0 for an empty device.
    double changedShare() const;
};

// Writes the map as a PNG at `path`: the grid of changeMapGrid(), a cell in
// kChangedColour when any of its blocks changed and in kUnchangedColour
// otherwise; below it a legend with `title`, a swatch and a line for each
// colour ("changed: 8886 blocks, 34.7 MiB, 13.6%") and what one cell stands
// for ("1 cell = 4 blocks of 4096 bytes"). The counts are also stored as text
// chunks: velmora.blocks, velmora.changed, velmora.blockSize,
// velmora.blocksPerCell and Title. The picture is written to `path`.tmp and
// renamed over `path`, so a failed run leaves neither file.
// Throws std::runtime_error naming `path` and the reason when the picture
// cannot be written, std::invalid_argument for bad options.
ChangeMapSummary writeChangeMapPng(const BlockBitmap &changed, uint32_t blockSize,
                                   const std::string &path, const std::string &title,
                                   const ChangeMapPictureOptions &options = {});

// The map as text: a comment line "# blocks=N blockSize=S changed=C runs=R",
// then one line "START LENGTH" (decimal) per longest run of changed blocks, in
// block order. Throws nothing but std::bad_alloc.
std::string changeMapRuns(const BlockBitmap &changed, uint32_t blockSize);

}  // namespace velmora::agent
