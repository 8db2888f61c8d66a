#include "progress_meter.h"

#include <unistd.h>

namespace velmora::cli {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

ProgressMeter::ProgressMeter(std::FILE *out, bool enabled)
    : out_(out), enabled_(enabled && ::isatty(::fileno(out))) {}

void ProgressMeter::update(const agent::BackupProgress &p) {
    const bool last = p.blocksDone == p.blocksToCopy;
    if (!enabled_ || (!last && p.seconds - lastDrawn_ < 0.1))
        return;
    lastDrawn_ = p.seconds;
    const double done = static_cast<double>(p.blocksDone) * p.blockSize / kMiB;
    const double all = static_cast<double>(p.blocksToCopy) * p.blockSize / kMiB;
    const double rate = p.seconds > 0 ? done / p.seconds : 0;
    const double percent = p.blocksToCopy ? 100.0 * p.blocksDone / p.blocksToCopy : 100.0;
    std::fprintf(out_, "\r  %5.1f%%  %u/%u blocks  %.1f/%.1f MiB  %.1f MiB/s", percent,
                 p.blocksDone, p.blocksToCopy, done, all, rate);
    if (rate > 0) {
        const unsigned left = static_cast<unsigned>((all - done) / rate + 0.5);
        std::fprintf(out_, "  %u:%02u left", left / 60, left % 60);
    }
    std::fprintf(out_, "\033[K");
    std::fflush(out_);
    drawn_ = true;
}

void ProgressMeter::finish() {
    if (drawn_)
        std::fprintf(out_, "\r\033[K");
    drawn_ = false;
}

}  // namespace velmora::cli
