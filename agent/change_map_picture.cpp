#include "change_map_picture.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <vector>

namespace velmora::agent {
namespace {

// A 5x7 font with two rows below the baseline for descenders: row 0 is the
// top, bit 4 the leftmost column. Only what the legend and a device title need.
struct Glyph {
    char c;
    uint8_t rows[9];
};

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 9;

constexpr Glyph kFont[] = {
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {'A', {0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'B', {0b11110, 0b10001, 0b10001, 0b11110, 0b10001, 0b10001, 0b11110}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'D', {0b11100, 0b10010, 0b10001, 0b10001, 0b10001, 0b10010, 0b11100}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'G', {0b01110, 0b10001, 0b10000, 0b10111, 0b10001, 0b10001, 0b01111}},
    {'H', {0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'J', {0b00111, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'K', {0b10001, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010, 0b10001}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'N', {0b10001, 0b10001, 0b11001, 0b10101, 0b10011, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'P', {0b11110, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'Q', {0b01110, 0b10001, 0b10001, 0b10001, 0b10101, 0b10010, 0b01101}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'T', {0b11111, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100}},
    {'U', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'W', {0b10001, 0b10001, 0b10001, 0b10101, 0b10101, 0b10101, 0b01010}},
    {'X', {0b10001, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001, 0b10001}},
    {'Y', {0b10001, 0b10001, 0b10001, 0b01010, 0b00100, 0b00100, 0b00100}},
    {'Z', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b11111}},
    {'a', {0, 0, 0b01110, 0b00001, 0b01111, 0b10001, 0b01111}},
    {'b', {0b10000, 0b10000, 0b10110, 0b11001, 0b10001, 0b10001, 0b11110}},
    {'c', {0, 0, 0b01110, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'d', {0b00001, 0b00001, 0b01101, 0b10011, 0b10001, 0b10001, 0b01111}},
    {'e', {0, 0, 0b01110, 0b10001, 0b11111, 0b10000, 0b01110}},
    {'f', {0b00110, 0b01001, 0b01000, 0b11100, 0b01000, 0b01000, 0b01000}},
    {'g', {0, 0, 0b01111, 0b10001, 0b10001, 0b10001, 0b01111, 0b00001, 0b01110}},
    {'h', {0b10000, 0b10000, 0b10110, 0b11001, 0b10001, 0b10001, 0b10001}},
    {'i', {0b00100, 0, 0b01100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'j', {0b00010, 0, 0b00110, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'k', {0b10000, 0b10000, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010}},
    {'l', {0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'m', {0, 0, 0b11010, 0b10101, 0b10101, 0b10101, 0b10101}},
    {'n', {0, 0, 0b10110, 0b11001, 0b10001, 0b10001, 0b10001}},
    {'o', {0, 0, 0b01110, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'p', {0, 0, 0b11110, 0b10001, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000}},
    {'q', {0, 0, 0b01111, 0b10001, 0b10001, 0b10001, 0b01111, 0b00001, 0b00001}},
    {'r', {0, 0, 0b10110, 0b11001, 0b10000, 0b10000, 0b10000}},
    {'s', {0, 0, 0b01111, 0b10000, 0b01110, 0b00001, 0b11110}},
    {'t', {0b01000, 0b01000, 0b11100, 0b01000, 0b01000, 0b01001, 0b00110}},
    {'u', {0, 0, 0b10001, 0b10001, 0b10001, 0b10011, 0b01101}},
    {'v', {0, 0, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
    {'w', {0, 0, 0b10001, 0b10001, 0b10101, 0b10101, 0b01010}},
    {'x', {0, 0, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001}},
    {'y', {0, 0, 0b10001, 0b10001, 0b10001, 0b10001, 0b01111, 0b00001, 0b01110}},
    {'z', {0, 0, 0b11111, 0b00010, 0b00100, 0b01000, 0b11111}},
    {' ', {}},
    {'.', {0, 0, 0, 0, 0, 0b01100, 0b01100}},
    {',', {0, 0, 0, 0, 0, 0b01100, 0b00100, 0b01000}},
    {':', {0, 0b01100, 0b01100, 0, 0b01100, 0b01100}},
    {'%', {0b11000, 0b11001, 0b00010, 0b00100, 0b01000, 0b10011, 0b00011}},
    {'(', {0b00010, 0b00100, 0b01000, 0b01000, 0b01000, 0b00100, 0b00010}},
    {')', {0b01000, 0b00100, 0b00010, 0b00010, 0b00010, 0b00100, 0b01000}},
    {'/', {0, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000}},
    {'-', {0, 0, 0, 0b11111}},
    {'=', {0, 0, 0b11111, 0, 0b11111}},
    {'_', {0, 0, 0, 0, 0, 0, 0, 0b11111}},
    {'+', {0, 0b00100, 0b00100, 0b11111, 0b00100, 0b00100}},
    {'<', {0b00010, 0b00100, 0b01000, 0b10000, 0b01000, 0b00100, 0b00010}},
    {'>', {0b01000, 0b00100, 0b00010, 0b00001, 0b00010, 0b00100, 0b01000}},
};

const Glyph *findGlyph(char c) {
    for (const Glyph &g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

// Layout of the picture, in pixels.
constexpr uint32_t kMargin = 8;
constexpr uint32_t kTextScale = 2;
constexpr uint32_t kCharAdvance = (kGlyphWidth + 1) * kTextScale;
constexpr uint32_t kLineHeight = kGlyphHeight * kTextScale + 4;
constexpr uint32_t kSwatchSize = 7 * kTextScale;  // the height of a capital
constexpr uint32_t kSwatchIndent = kSwatchSize + 8;
constexpr uint32_t kLegendGap = 12;

class Canvas {
  public:
    Canvas(uint32_t width, uint32_t height)
        : width_(width), height_(height), rgb_(size_t{width} * height * 3, 255) {}

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    const unsigned char *data() const { return rgb_.data(); }

    // Clipped at the edges, so text that runs long is cut, not wrapped.
    void fill(uint32_t x, uint32_t y, uint32_t w, uint32_t h, Rgb colour) {
        const uint32_t right = std::min(width_, x + w), bottom = std::min(height_, y + h);
        for (uint32_t row = y; row < bottom; ++row)
            for (uint32_t col = x; col < right; ++col) {
                unsigned char *p = &rgb_[(size_t{row} * width_ + col) * 3];
                p[0] = colour.r;
                p[1] = colour.g;
                p[2] = colour.b;
            }
    }

    void text(uint32_t x, uint32_t y, const std::string &s) {
        for (char c : s) {
            if (const Glyph *g = findGlyph(c))
                for (int row = 0; row < kGlyphHeight; ++row)
                    for (int col = 0; col < kGlyphWidth; ++col)
                        if (g->rows[row] >> (kGlyphWidth - 1 - col) & 1)
                            fill(x + col * kTextScale, y + row * kTextScale, kTextScale, kTextScale,
                                 kTextColour);
            x += kCharAdvance;
        }
    }

  private:
    uint32_t width_, height_;
    std::vector<unsigned char> rgb_;
};

// Capped, so that no title is long enough to overflow the sum.
uint32_t textWidth(const std::string &s) {
    return static_cast<uint32_t>(std::min<size_t>(s.size(), kMaxGridPixels)) * kCharAdvance;
}

std::string formatf(const char *format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string formatBytes(uint64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    // Move up a unit where one decimal would round to 1024.0.
    while (value >= 1023.95 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return formatf("%.1f ", value) + units[unit];
}

// A share that rounds to 0.0% or 100.0% while not being either says so.
std::string formatShare(uint32_t part, uint32_t whole) {
    if (whole == 0)
        return "0.0%";
    const double percent = 100.0 * part / whole;
    if (part > 0 && percent < 0.05)
        return "<0.1%";
    if (part < whole && percent >= 99.95)
        return ">99.9%";
    return formatf("%.1f", percent) + "%";
}

std::string countOf(uint32_t n, const char *noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string colourLine(const char *name, uint32_t part, uint32_t whole, uint32_t blockSize) {
    return std::string(name) + ": " + countOf(part, "block") + ", " +
           formatBytes(uint64_t{part} * blockSize) + ", " + formatShare(part, whole);
}

// Which cells hold at least one changed block, found from the runs so a
// large, mostly clean map costs little.
std::vector<bool> changedCells(const BlockBitmap &map, const ChangeMapGrid &grid) {
    std::vector<bool> cells(grid.cells, false);
    for (const BlockBitmap::Run &run : map.runs(std::numeric_limits<uint32_t>::max()))
        for (uint32_t c = run.start / grid.blocksPerCell;
             c <= (run.start + (run.length - 1)) / grid.blocksPerCell; ++c)
            cells[c] = true;
    return cells;
}

Canvas drawPicture(const BlockBitmap &map, const ChangeMapGrid &grid, const ChangeMapSummary &sum,
                   std::string title) {
    const std::string lines[] = {
        colourLine("changed", sum.changed, sum.blocks, sum.blockSize),
        colourLine("unchanged", sum.blocks - sum.changed, sum.blocks, sum.blockSize),
        "1 cell = " + countOf(sum.blocksPerCell, "block") + " of " + countOf(sum.blockSize, "byte"),
    };
    uint32_t content =
        std::max({grid.width(), textWidth(title), kSwatchIndent + textWidth(lines[0]),
                  kSwatchIndent + textWidth(lines[1]), textWidth(lines[2])});
    content = std::min(content, kMaxGridPixels);
    if (textWidth(title) > content) {
        title.resize(content / kCharAdvance - 3);
        title += "...";
    }

    const uint32_t legendTop = grid.top + grid.height() + (grid.cells ? kLegendGap : 0);
    Canvas canvas(content + 2 * kMargin, legendTop + 4 * kLineHeight + kMargin);

    const std::vector<bool> changed = changedCells(map, grid);
    for (uint32_t c = 0; c < grid.cells; ++c)
        canvas.fill(grid.left + c % grid.columns * grid.cellPitch,
                    grid.top + c / grid.columns * grid.cellPitch, grid.cellSize, grid.cellSize,
                    changed[c] ? kChangedColour : kUnchangedColour);

    canvas.text(kMargin, legendTop, title);
    const Rgb swatches[] = {kChangedColour, kUnchangedColour};
    for (uint32_t i = 0; i < 2; ++i) {
        const uint32_t y = legendTop + (i + 1) * kLineHeight;
        // A dark outline keeps the light grey swatch visible on white.
        canvas.fill(kMargin, y, kSwatchSize, kSwatchSize, kTextColour);
        canvas.fill(kMargin + 1, y + 1, kSwatchSize - 2, kSwatchSize - 2, swatches[i]);
        canvas.text(kMargin + kSwatchIndent, y, lines[i]);
    }
    canvas.text(kMargin, legendTop + 3 * kLineHeight, lines[2]);
    return canvas;
}

// libpng reports errors by longjmp; everything in the frames it jumps
// through is plain data, so nothing is left undestroyed.
struct PngFailure {
    char message[200];
};

struct PngPicture {
    const unsigned char *rgb;
    uint32_t width, height;
    png_text *texts;
    int textCount;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
    auto *failure = static_cast<PngFailure *>(png_get_error_ptr(png));
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void writePngBody(png_structp png, png_infop info, FILE *file, const PngPicture &picture) {
    png_init_io(png, file);
    png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_text(png, info, picture.texts, picture.textCount);
    png_write_info(png, info);
    for (uint32_t y = 0; y < picture.height; ++y)
        png_write_row(png, picture.rgb + size_t{y} * picture.width * 3);
    png_write_end(png, nullptr);
}

bool encodePng(FILE *file, const PngPicture &picture, PngFailure *failure) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, onPngError, onPngWarning);
    if (!png) {
        std::snprintf(failure->message, sizeof failure->message, "libpng could not start");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(failure->message, sizeof failure->message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    writePngBody(png, info, file, picture);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Written beside the target and renamed over it, so a reader never sees half
// a picture and a failure leaves nothing behind.
void writePngFile(const std::string &path, const PngPicture &picture) {
    const std::string temporary = path + ".tmp";
    std::string reason;
    if (FILE *file = std::fopen(temporary.c_str(), "wb")) {
        PngFailure failure{};
        errno = 0;
        if (!encodePng(file, picture, &failure))
            reason =
                std::string(failure.message) + (errno ? ": " + std::string(strerror(errno)) : "");
        else if (std::fflush(file) != 0 || fsync(fileno(file)) != 0)
            reason = strerror(errno);
        if (std::fclose(file) != 0 && reason.empty())
            reason = strerror(errno);
        if (reason.empty() && std::rename(temporary.c_str(), path.c_str()) != 0)
            reason = strerror(errno);
        if (!reason.empty())
            std::remove(temporary.c_str());
    } else {
        reason = strerror(errno);
    }
    if (!reason.empty())
        throw std::runtime_error("cannot write the change map picture " + path + ": " + reason);
}

png_text textChunk(const char *key, const std::string &value) {
    png_text t{};
    t.key = const_cast<char *>(key);
    t.text = const_cast<char *>(value.c_str());
    t.text_length = value.size();
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    // tEXt is Latin-1: a title with other characters goes as UTF-8 in iTXt.
    if (std::any_of(value.begin(), value.end(), [](char c) { return c & 0x80; })) {
        t.compression = PNG_ITXT_COMPRESSION_NONE;
        t.lang = const_cast<char *>("");
        t.itxt_length = value.size();
        t.text_length = 0;
    }
    return t;
}

}  // namespace

double ChangeMapSummary::changedShare() const {
    return blocks ? static_cast<double>(changed) / blocks : 0.0;
}

ChangeMapGrid changeMapGrid(uint32_t blocks, const ChangeMapPictureOptions &options) {
    if (options.maxCells == 0 || options.maxCells > kMaxGridColumns * kMaxGridPixels)
        throw std::invalid_argument("a change map picture holds 1 to " +
                                    std::to_string(kMaxGridColumns * kMaxGridPixels) +
                                    " cells, not " + std::to_string(options.maxCells));
    ChangeMapGrid grid;
    grid.blocksPerCell =
        std::max<uint32_t>(1, (uint64_t{blocks} + options.maxCells - 1) / options.maxCells);
    grid.cells =
        static_cast<uint32_t>((uint64_t{blocks} + grid.blocksPerCell - 1) / grid.blocksPerCell);
    grid.left = grid.top = kMargin;
    if (grid.cells == 0)
        return grid;
    grid.columns = 1;
    while (uint64_t{grid.columns} * grid.columns < grid.cells && grid.columns < kMaxGridColumns)
        grid.columns *= 2;
    grid.rows = (grid.cells + grid.columns - 1) / grid.columns;
    grid.cellPitch = std::max<uint32_t>(
        1, std::min({kMaxCellPitch, kMaxGridPixels / grid.columns, kMaxGridPixels / grid.rows}));
    // A gap only where a cell is big enough to spare a pixel for it.
    grid.cellSize = grid.cellPitch >= 4 ? grid.cellPitch - 1 : grid.cellPitch;
    return grid;
}

ChangeMapSummary writeChangeMapPng(const BlockBitmap &changed, uint32_t blockSize,
                                   const std::string &path, const std::string &title,
                                   const ChangeMapPictureOptions &options) {
    const ChangeMapGrid grid = changeMapGrid(changed.blocks(), options);
    ChangeMapSummary sum;
    sum.blocks = changed.blocks();
    sum.changed = changed.count();
    sum.blockSize = blockSize;
    sum.blocksPerCell = grid.blocksPerCell;

    const Canvas canvas = drawPicture(changed, grid, sum, title);
    const std::string values[] = {std::to_string(sum.blocks), std::to_string(sum.changed),
                                  std::to_string(sum.blockSize), std::to_string(sum.blocksPerCell)};
    png_text texts[] = {
        textChunk("velmora.blocks", values[0]),
        textChunk("velmora.changed", values[1]),
        textChunk("velmora.blockSize", values[2]),
        textChunk("velmora.blocksPerCell", values[3]),
        textChunk("Title", title),
    };
    writePngFile(path, {canvas.data(), canvas.width(), canvas.height(), texts,
                        static_cast<int>(std::size(texts))});
    return sum;
}

std::string changeMapRuns(const BlockBitmap &changed, uint32_t blockSize) {
    const auto runs = changed.runs(std::numeric_limits<uint32_t>::max());
    std::string out = "# blocks=" + std::to_string(changed.blocks()) +
                      " blockSize=" + std::to_string(blockSize) +
                      " changed=" + std::to_string(changed.count()) +
                      " runs=" + std::to_string(runs.size()) + "\n";
    for (const BlockBitmap::Run &run : runs)
        out += std::to_string(run.start) + " " + std::to_string(run.length) + "\n";
    return out;
}

}  // namespace velmora::agent
