// The check of a backup image, behind `velmora-agent verify`: a read-only
// e2fsck where the image holds ext2/3/4, and a byte comparison with a
// reference file when one is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::agent {

// Names the ext file system the image holds, from its superblock (1024 bytes
// in): "ext4" when it uses a feature ext3 lacks (extents, flex_bg, 64bit,
// huge_file, dir_nlink, extra_isize, metadata checksums...), "ext3" when it
// has a journal, "ext2" otherwise, and "" when there is no ext superblock
// (the magic 0xEF53 missing, an impossible block size, or a file too short).
// Throws std::runtime_error naming the path when the file cannot be opened
// or read.
std::string probeFileSystem(const std::string &imagePath);

// The size in bytes of the ext file system the image holds (its block count
// times its block size), or 0 when probeFileSystem finds none. Throws as
// probeFileSystem does.
uint64_t probeFileSystemBytes(const std::string &imagePath);

struct ImageCheckOptions {
    std::string against;            // a reference file to compare byte for byte; empty: none
    uint32_t blockSize = 4096;      // the unit differences are counted in
    bool fileSystemCheck = true;    // run e2fsck -fn when the image holds ext2/3/4
    std::string e2fsck = "e2fsck";  // looked up on PATH, then in /sbin and /usr/sbin
};

// Unchecked: nothing could be checked (no ext file system, or its check
// turned off, and no reference).
enum class CheckOutcome { Passed, Failed, Unchecked };

// "passed", "failed" or "unchecked", for the caller's JSON.
std::string_view checkOutcomeName(CheckOutcome outcome);

struct ImageCheck {
    CheckOutcome outcome = CheckOutcome::Unchecked;
    std::string fileSystem;          // probeFileSystem's answer
    uint64_t fileSystemBytes = 0;    // probeFileSystemBytes's answer
    bool fileSystemChecked = false;  // e2fsck ran
    int fsckExit = -1;               // its exit status, when it exited
    int fsckSignal = 0;              // the signal that ended it, when one did
    std::string fsckOutput;          // its last lines (at most 4 KiB), stdout and stderr mixed
    bool compared = false;           // a reference was compared
    uint64_t bytes = 0;              // size of the image
    uint64_t referenceBytes = 0;     // size of the reference, when compared
    uint64_t differingBlocks = 0;    // blocks of blockSize, over the length both files have
    uint64_t firstDifference = 0;    // byte offset of the first difference, when any
    bool sizesDiffer = false;        // then the first difference is at most the shorter size
    double seconds = 0;              // wall time of the whole check
    std::string summary;             // the result in one line of words
};

// Checks the image: e2fsck -fn (read-only: the image is never written) when
// options.fileSystemCheck is set and the image holds ext2/3/4, with a check
// that the image is not shorter than its file system (e2fsck lets a
// truncated image file pass); and a byte comparison with options.against
// when that is not empty. Failed when a check that ran failed, Passed when
// at least one ran and all passed, Unchecked when none ran. Throws
// std::runtime_error naming the path when the image or the reference is
// missing or unreadable, or when e2fsck cannot be found or started (naming
// its package, e2fsprogs); std::invalid_argument when options.blockSize is 0.
ImageCheck checkImage(const std::string &imagePath, const ImageCheckOptions &options);

}  // namespace velmora::agent
