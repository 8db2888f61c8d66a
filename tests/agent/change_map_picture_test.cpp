// The change map picture, decoded again: every cell in the colour its blocks
// call for, the counts in the legend and the text chunks, the sizes within
// bounds; and the runs text, parsed back into the same map.
#include <change_map_picture.h>

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::agent {
namespace {

namespace fs = std::filesystem;

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string name = (fs::path(::testing::TempDir()) / "change-map-XXXXXX").string();
        if (!mkdtemp(name.data()))
            throw std::runtime_error("no scratch directory");
        path = name;
    }
    ~ScratchDir() { fs::remove_all(path); }
};

struct DecodedPng {
    uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgb;
    std::map<std::string, std::string> text;  // the tEXt chunks

    Rgb at(uint32_t x, uint32_t y) const {
        const unsigned char *p = &rgb[(size_t{y} * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

uint32_t bigEndian32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

// Pixels through libpng; text chunks read straight from the file, so the
// check of the metadata does not lean on the library that wrote it.
DecodedPng decodePng(const std::string &path) {
    DecodedPng out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error(path + ": " + image.message);
    image.format = PNG_FORMAT_RGB;
    out.width = image.width;
    out.height = image.height;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr))
        throw std::runtime_error(path + ": " + image.message);

    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = 8; at + 8 <= bytes.size();) {
        const uint32_t length = bigEndian32(bytes, at);
        if (bytes.compare(at + 4, 4, "tEXt") == 0) {
            const std::string data = bytes.substr(at + 8, length);
            const size_t nul = data.find('\0');
            out.text[data.substr(0, nul)] = data.substr(nul + 1);
        }
        at += 12 + size_t{length};
    }
    return out;
}

// Whether any block of each cell changed, worked out block by block.
std::vector<bool> expectedCells(const BlockBitmap &map, uint32_t blocksPerCell) {
    std::vector<bool> cells((map.blocks() + uint64_t{blocksPerCell} - 1) / blocksPerCell);
    for (uint32_t b = 0; b < map.blocks(); ++b)
        if (map.test(b))
            cells[b / blocksPerCell] = true;
    return cells;
}

void checkPicture(const BlockBitmap &map, const std::string &path, const std::string &title,
                  const ChangeMapPictureOptions &options = {}) {
    const ChangeMapSummary sum = writeChangeMapPng(map, 4096, path, title, options);
    EXPECT_EQ(sum.changed, map.count());
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    const ChangeMapGrid grid = changeMapGrid(map.blocks(), options);
    const uint32_t bpc = grid.blocksPerCell;
    EXPECT_EQ(sum.blocksPerCell, bpc);
    EXPECT_LE(grid.cells, options.maxCells);
    if (bpc > 1) {
        EXPECT_GT((map.blocks() + uint64_t{bpc} - 2) / (bpc - 1), options.maxCells)
            << "one block fewer per cell would have fitted";
    }
    EXPECT_LE(grid.width(), kMaxGridPixels);
    EXPECT_LE(grid.height(), kMaxGridPixels);
    EXPECT_GE(uint64_t{grid.columns} * grid.rows, grid.cells);

    const DecodedPng png = decodePng(path);
    EXPECT_LE(png.width, kMaxGridPixels + 2 * grid.left);
    EXPECT_LE(png.height, kMaxGridPixels + 200) << "the legend takes a few lines";
    ASSERT_GE(png.width, grid.left + grid.width());
    const uint32_t gridBottom = grid.top + grid.height();
    ASSERT_GT(png.height, gridBottom);

    // Each cell in the colour its blocks call for, and nothing else in the
    // grid but the cells' own pixels on white.
    const std::vector<bool> expected = expectedCells(map, bpc);
    ASSERT_EQ(expected.size(), grid.cells);
    uint32_t changedCells = 0, unchangedCells = 0, wrongCells = 0;
    for (uint32_t c = 0; c < grid.cells; ++c) {
        const Rgb colour = png.at(grid.left + c % grid.columns * grid.cellPitch,
                                  grid.top + c / grid.columns * grid.cellPitch);
        changedCells += colour == kChangedColour;
        unchangedCells += colour == kUnchangedColour;
        wrongCells += colour != (expected[c] ? kChangedColour : kUnchangedColour);
    }
    const auto expectedChanged =
        static_cast<uint32_t>(std::count(expected.begin(), expected.end(), true));
    EXPECT_EQ(changedCells, expectedChanged);
    EXPECT_EQ(unchangedCells, grid.cells - expectedChanged);
    EXPECT_EQ(wrongCells, 0u);
    uint64_t changedPixels = 0, unchangedPixels = 0, whitePixels = 0;
    for (uint32_t y = grid.top; y < gridBottom; ++y)
        for (uint32_t x = grid.left; x < grid.left + grid.width(); ++x) {
            const Rgb p = png.at(x, y);
            changedPixels += p == kChangedColour;
            unchangedPixels += p == kUnchangedColour;
            whitePixels += p == kBackgroundColour;
        }
    const uint64_t cellArea = uint64_t{grid.cellSize} * grid.cellSize;
    EXPECT_EQ(changedPixels, changedCells * cellArea);
    EXPECT_EQ(unchangedPixels, unchangedCells * cellArea);
    EXPECT_EQ(changedPixels + unchangedPixels + whitePixels,
              uint64_t{grid.width()} * grid.height());

    // The legend: text in black and a swatch of each colour.
    uint32_t black = 0, changedSwatch = 0, unchangedSwatch = 0;
    for (uint32_t y = gridBottom; y < png.height; ++y)
        for (uint32_t x = 0; x < png.width; ++x) {
            black += png.at(x, y) == kTextColour;
            changedSwatch += png.at(x, y) == kChangedColour;
            unchangedSwatch += png.at(x, y) == kUnchangedColour;
        }
    EXPECT_GT(black, 500u);
    EXPECT_GT(changedSwatch, 0u);
    EXPECT_GT(unchangedSwatch, 0u);

    EXPECT_EQ(png.text.at("velmora.blocks"), std::to_string(map.blocks()));
    EXPECT_EQ(png.text.at("velmora.changed"), std::to_string(map.count()));
    EXPECT_EQ(png.text.at("velmora.blockSize"), "4096");
    EXPECT_EQ(png.text.at("velmora.blocksPerCell"), std::to_string(bpc));
    EXPECT_EQ(png.text.at("Title"), title);
}

BlockBitmap smallMap() {
    BlockBitmap map(40);
    for (uint32_t b : {0u, 1u, 2u, 9u, 31u, 39u})
        map.set(b);
    return map;
}

// Scattered blocks, a long run, and the very last block.
BlockBitmap largeMap() {
    BlockBitmap map(3'000'000);
    for (uint32_t b = 0; b < map.blocks(); b += 1000)
        map.set(b);
    for (uint32_t b = 1'000'000; b < 1'200'000; ++b)
        map.set(b);
    map.set(map.blocks() - 1);
    return map;
}

TEST(ChangeMapPicture, EveryCellAndCountMatchesTheMap) {
    ScratchDir dir;
    const std::string title = "sda1, backup of 2026-12-09 10:00";
    {
        SCOPED_TRACE("40 blocks, a cell each");
        checkPicture(smallMap(), dir.path / "small.png", title);
    }
    {
        SCOPED_TRACE("40 blocks in at most 16 cells, the last one short");
        checkPicture(smallMap(), dir.path / "coarse.png", title, {.maxCells = 16});
        EXPECT_EQ(changeMapGrid(40, {.maxCells = 16}).blocksPerCell, 3u);
    }
    {
        SCOPED_TRACE("3,000,000 blocks under a title too long to draw whole");
        checkPicture(largeMap(), dir.path / "large.png", std::string(300, 'x'));
        EXPECT_GT(changeMapGrid(3'000'000).blocksPerCell, 1u);
    }
    {
        SCOPED_TRACE("nothing changed");
        checkPicture(BlockBitmap(1000), dir.path / "clear.png", title);
    }
    {
        SCOPED_TRACE("an empty device");
        checkPicture(BlockBitmap(0), dir.path / "empty.png", title);
        EXPECT_EQ(ChangeMapSummary{}.changedShare(), 0.0);
    }
}

TEST(ChangeMapPicture, RunsTextGivesBackTheMap) {
    for (const BlockBitmap &map : {smallMap(), largeMap(), BlockBitmap(0), BlockBitmap(13, true)}) {
        SCOPED_TRACE(std::to_string(map.blocks()) + " blocks");
        std::istringstream text(changeMapRuns(map, 512));
        std::string header;
        std::getline(text, header);
        const std::string counts = "# blocks=" + std::to_string(map.blocks()) +
                                   " blockSize=512 changed=" + std::to_string(map.count()) +
                                   " runs=";
        EXPECT_EQ(header.rfind(counts, 0), 0u) << header;
        BlockBitmap back(map.blocks());
        uint64_t previousEnd = 0;
        bool first = true;
        uint32_t start = 0, length = 0;
        while (text >> start >> length) {
            EXPECT_GT(length, 0u);
            EXPECT_TRUE(first || start > previousEnd) << "runs are in order and as long as they go";
            for (uint32_t b = start; b < start + length; ++b)
                back.set(b);
            previousEnd = uint64_t{start} + length;
            first = false;
        }
        EXPECT_TRUE(text.eof()) << "every line is two numbers";
        EXPECT_EQ(back.bytes(), map.bytes());
    }
}

// The message of the error writing the map threw, empty when it did not throw.
std::string writeError(const BlockBitmap &map, const std::string &path) {
    try {
        writeChangeMapPng(map, 4096, path, "t");
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}

// libpng's own write error, with the file cut short by a size limit: the
// longjmp path, under the sanitizers free of leaks.
std::string writeErrorUnderSizeLimit(const BlockBitmap &map, const std::string &path) {
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 8192;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const std::string error = writeError(map, path);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    return error;
}

TEST(ChangeMapPicture, AFailedWriteThrowsAndLeavesNoFile) {
    ScratchDir dir;
    const std::string missing = dir.path / "no-such-dir" / "map.png";
    const std::string isDirectory = dir.path / "a-directory";
    const std::string cutShort = dir.path / "cut-short.png";
    fs::create_directory(isDirectory);
    const std::pair<std::string, std::string> failures[] = {
        {missing, writeError(smallMap(), missing)},
        {isDirectory, writeError(smallMap(), isDirectory)},
        {cutShort, writeErrorUnderSizeLimit(largeMap(), cutShort)},
    };
    for (const auto &[path, error] : failures) {
        SCOPED_TRACE(path);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(path + ".tmp"));
    }
    EXPECT_NE(failures[2].second.find("File too large"), std::string::npos) << failures[2].second;
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::is_directory(isDirectory));
    EXPECT_FALSE(fs::exists(cutShort));
    EXPECT_THROW(changeMapGrid(10, {.maxCells = 0}), std::invalid_argument);
    EXPECT_THROW(writeChangeMapPng(smallMap(), 4096, dir.path / "x.png", "t", {.maxCells = 0}),
                 std::invalid_argument);
}

}  // namespace
}  // namespace velmora::agent
