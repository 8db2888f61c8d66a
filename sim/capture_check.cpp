#include "capture_check.h"

#include <standin/disk.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace velmora::sim {

CaptureCheck compareWithCapture(unsigned dev, const std::string &imagePath, unsigned blockSize) {
    CaptureCheck check;
    unsigned long epoch = 0;
    check.taken = standin_capture_taken(dev, &epoch) == 1;
    const uint64_t bytes = standin_dev_sectors(dev) * 512;
    std::ifstream image(imagePath, std::ios::binary | std::ios::ate);
    check.sameSize = image && static_cast<uint64_t>(image.tellg()) == bytes;
    if (!check.taken || !check.sameSize)
        return check;
    image.seekg(0);
    // A piece at a time, so a large device needs no image-sized buffers.
    const uint64_t chunk = uint64_t{blockSize} * 256;
    std::vector<char> fromImage(chunk), fromCapture(chunk);
    for (uint64_t at = 0; at < bytes; at += chunk) {
        const uint64_t n = std::min(chunk, bytes - at);
        image.read(fromImage.data(), static_cast<std::streamsize>(n));
        if (!image || standin_capture_read(dev, at, fromCapture.data(), n) != 0) {
            check.taken = false;
            return check;
        }
        for (uint64_t b = 0; b < n; b += blockSize) {
            if (std::equal(fromImage.begin() + static_cast<std::ptrdiff_t>(b),
                           fromImage.begin() + static_cast<std::ptrdiff_t>(b + blockSize),
                           fromCapture.begin() + static_cast<std::ptrdiff_t>(b)))
                continue;
            if (check.blocksDiffering++ == 0)
                check.firstDiffering = (at + b) / blockSize;
        }
    }
    return check;
}

}  // namespace velmora::sim
