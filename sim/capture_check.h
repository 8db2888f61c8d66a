// Whether a backup image is the device's content at the snapshot: the image
// file against the stand-in's capture taken at the snapshot's freeze.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::sim {

struct CaptureCheck {
    bool taken = false;     // the capture exists
    bool sameSize = false;  // the image has the device's size
    uint64_t blocksDiffering = 0;
    uint64_t firstDiffering = 0;  // meaningful when blocksDiffering > 0
    bool matches() const { return taken && sameSize && blocksDiffering == 0; }
};

CaptureCheck compareWithCapture(unsigned dev, const std::string &imagePath, unsigned blockSize);

}  // namespace velmora::sim
