// The copy's progress on a terminal: one line redrawn in place, at most ten
// times a second, with blocks and bytes copied, the rate and the time left.
#pragma once

#include <backup_runner.h>

#include <cstdio>

namespace velmora::cli {

class ProgressMeter {
  public:
    // Draws on `out` only when enabled and out is a terminal.
    ProgressMeter(std::FILE *out, bool enabled);
    void update(const agent::BackupProgress &p);
    // Clears the line, so what follows starts clean.
    void finish();

  private:
    std::FILE *out_;
    bool enabled_;
    bool drawn_ = false;
    double lastDrawn_ = -1;
};

}  // namespace velmora::cli
