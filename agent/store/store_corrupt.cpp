#include "store_corrupt.h"

#include "store_layout.h"

namespace velmora::agent::store {

namespace {

std::string describe(uint32_t point, uint32_t block, const std::string &what) {
    if (point == 0)
        return what;  // the store's own records, not a point's
    std::string where = "point " + pointName(point);
    if (block != StoreCorrupt::kNoBlock)
        where += " block " + std::to_string(block);
    return where + ": " + what;
}

}  // namespace

StoreCorrupt::StoreCorrupt(uint32_t point, uint32_t block, const std::string &what)
    : std::runtime_error(describe(point, block, what)), point_(point), block_(block) {}

}  // namespace velmora::agent::store
