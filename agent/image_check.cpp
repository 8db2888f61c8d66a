// Checks a backup image: runs e2fsck on it, compares it with a reference,
// and says what came of it in one line.
#include "image_check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::agent {
namespace {

constexpr size_t fsckOutputKept = 4096;
constexpr size_t comparisonChunk = 1 << 20;

std::string systemError(const std::string &what, int error) {
    return what + ": " + std::strerror(error);
}

// A file read at offsets; `role` ("image", "reference") names it in errors.
class InputFile {
  public:
    InputFile(const std::string &path, const std::string &role) : path_(path), role_(role) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error(systemError("cannot open " + role + " " + path, errno));
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
            const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(fd_);
            throw std::runtime_error(systemError("cannot read " + role + " " + path, error));
        }
        // Seeking to the end also sizes a block device, whose st_size is 0.
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) {
            const int error = errno;
            ::close(fd_);
            throw std::runtime_error(systemError("cannot size " + role + " " + path, error));
        }
        size_ = static_cast<uint64_t>(end);
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile() { ::close(fd_); }

    uint64_t size() const { return size_; }
    const std::string &path() const { return path_; }

    // Reads exactly `length` bytes at `offset`, which lie within size().
    void readAt(uint64_t offset, unsigned char *out, size_t length) const {
        size_t done = 0;
        while (done < length) {
            const ssize_t n =
                ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw std::runtime_error(systemError("cannot read " + role_ + " " + path_, errno));
            if (n == 0)
                throw std::runtime_error(role_ + " " + path_ + " shrank while being read");
            done += static_cast<size_t>(n);
        }
    }

  private:
    std::string path_, role_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// ---- e2fsck ----

bool isExecutableFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// PATH first; then the sbin directories, which an ordinary user's PATH often
// lacks although e2fsck runs fine from there on an image file.
std::string findProgram(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return isExecutableFile(name) ? name : "";
    std::vector<std::string> dirs;
    if (const char *path = std::getenv("PATH")) {
        std::string list = path;
        for (size_t start = 0;;) {
            const size_t colon = list.find(':', start);
            const std::string dir = list.substr(start, colon - start);
            dirs.push_back(dir.empty() ? "." : dir);
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
    dirs.insert(dirs.end(), {"/sbin", "/usr/sbin"});
    for (const auto &dir : dirs)
        if (isExecutableFile(dir + "/" + name))
            return dir + "/" + name;
    return "";
}

struct FsckRun {
    int exit = -1, signal = 0;
    std::string head, tail;  // the first and the last fsckOutputKept bytes
};

// Keeps the last `limit` bytes of `text`, cut at a line start when it was cut.
std::string lastLines(const std::string &text, size_t limit) {
    if (text.size() <= limit)
        return text;
    const size_t from = text.size() - limit;
    const size_t newline = text.find('\n', from);
    return newline == std::string::npos ? text.substr(from) : text.substr(newline + 1);
}

// -n answers no to every question and opens the image read-only. No shell:
// the path goes to e2fsck as it is.
FsckRun runFsck(const std::string &program, const std::string &image) {
    const std::string path = findProgram(program);
    if (path.empty())
        throw std::runtime_error("cannot check " + image + ": " + program +
                                 " is not on PATH nor in /sbin or /usr/sbin (it comes with the "
                                 "package e2fsprogs)");
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(systemError("cannot make a pipe for " + path, errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::string arg0 = "e2fsck", arg1 = "-fn", arg2 = image;
    char *argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error(systemError("cannot run " + path, spawned));
    }

    FsckRun run;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const size_t got = static_cast<size_t>(n);
        if (run.head.size() < fsckOutputKept)
            run.head.append(buffer, std::min(got, fsckOutputKept - run.head.size()));
        run.tail.append(buffer, got);
        if (run.tail.size() > 2 * fsckOutputKept)
            run.tail.erase(0, run.tail.size() - fsckOutputKept);
    }
    ::close(pipeFds[0]);
    run.tail = lastLines(run.tail, fsckOutputKept);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error(systemError("cannot wait for " + path, errno));
    if (WIFEXITED(status))
        run.exit = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

// e2fsck's exit status is a set of bits.
std::string fsckExitWords(int exit) {
    static const std::pair<int, const char *> bits[] = {
        {1, "errors corrected"},        {2, "errors corrected, reboot needed"},
        {4, "errors left uncorrected"}, {8, "operational error"},
        {16, "usage or syntax error"},  {32, "cancelled"},
        {128, "shared library error"}};
    std::string words;
    for (const auto &[bit, word] : bits)
        if (exit & bit)
            words += (words.empty() ? "" : ", ") + std::string(word);
    return words.empty() ? "no errors" : words;
}

// The first line of e2fsck's output that is neither its banner nor a pass
// heading: the first problem it found, or why it stopped.
std::string firstFinding(const std::string &output) {
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line;
        for (size_t i = start; i < end; ++i)
            if (!std::isspace(static_cast<unsigned char>(output[i])))
                line += output[i];
            else if (!line.empty() && line.back() != ' ')
                line += ' ';
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        const bool banner = line.starts_with("e2fsck ") && line.size() > 7 &&
                            std::isdigit(static_cast<unsigned char>(line[7]));
        const bool pass = line.starts_with("Pass ") && line.size() > 5 &&
                          std::isdigit(static_cast<unsigned char>(line[5]));
        if (!line.empty() && !banner && !pass)
            return line;
        start = end + 1;
    }
    return "";
}

// `finding`: firstFinding's answer.
std::string fileSystemPart(const ImageCheck &check, const std::string &finding) {
    if (check.fsckSignal != 0)
        return "e2fsck was ended by signal " + std::to_string(check.fsckSignal) +
               " before it finished";
    const bool truncated = check.bytes < check.fileSystemBytes;
    if (check.fsckExit == 0 && !truncated)
        return "the image is a clean " + check.fileSystem + " file system";
    std::string part;
    if (check.fsckExit != 0) {
        const bool foundErrors = (check.fsckExit & (1 | 2 | 4)) != 0;
        part = foundErrors
                   ? "e2fsck found errors in the " + check.fileSystem + " file system of the image"
                   : "e2fsck could not check the image";
        part +=
            " (exit " + std::to_string(check.fsckExit) + ": " + fsckExitWords(check.fsckExit) + ")";
        if (!finding.empty())
            part += ": " + finding;
    }
    // e2fsck passes an image file shorter than its file system: a backup cut short.
    if (truncated)
        part += (part.empty() ? "" : "; ") + std::string("the image is truncated: it is ") +
                std::to_string(check.bytes) + " bytes long but its " + check.fileSystem +
                " file system spans " + std::to_string(check.fileSystemBytes) + " bytes";
    return part;
}

// ---- the byte comparison ----

void compareBytes(const InputFile &image, const InputFile &reference, uint32_t blockSize,
                  ImageCheck &check) {
    // Whole blocks per chunk, so that no block straddles two reads.
    const size_t chunk = std::max<size_t>(blockSize, comparisonChunk / blockSize * blockSize);
    std::vector<unsigned char> ours(chunk), theirs(chunk);
    const uint64_t common = std::min(image.size(), reference.size());
    bool found = false;
    for (uint64_t offset = 0; offset < common; offset += chunk) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk, common - offset));
        image.readAt(offset, ours.data(), length);
        reference.readAt(offset, theirs.data(), length);
        for (size_t block = 0; block < length; block += blockSize) {
            const size_t blockLength = std::min<size_t>(blockSize, length - block);
            const auto *a = ours.data() + block;
            const auto *b = theirs.data() + block;
            if (std::memcmp(a, b, blockLength) == 0)
                continue;
            ++check.differingBlocks;
            if (!found) {
                found = true;
                check.firstDifference =
                    offset + block +
                    static_cast<uint64_t>(std::mismatch(a, a + blockLength, b).first - a);
            }
        }
    }
    check.compared = true;
    check.referenceBytes = reference.size();
    check.sizesDiffer = image.size() != reference.size();
    if (check.sizesDiffer && !found)
        check.firstDifference = common;
}

std::string blocksInWords(uint64_t blocks, uint32_t blockSize) {
    return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks") + " of " +
           std::to_string(blockSize) + " bytes";
}

// Follows "the image ...".
std::string comparisonPart(const ImageCheck &check, const std::string &reference,
                           uint32_t blockSize) {
    const std::string where = check.differingBlocks == 0
                                  ? ""
                                  : "in " + blocksInWords(check.differingBlocks, blockSize) +
                                        ", the first at byte " +
                                        std::to_string(check.firstDifference);
    if (!check.sizesDiffer)
        return check.differingBlocks == 0 ? "equals " + reference + " byte for byte"
                                          : "differs from " + reference + " " + where;
    const uint64_t common = std::min(check.bytes, check.referenceBytes);
    return "is " + std::to_string(check.bytes) + " bytes long but " + reference + " is " +
           std::to_string(check.referenceBytes) + " bytes; " +
           (check.differingBlocks == 0
                ? "their first " + std::to_string(common) + " bytes are equal"
                : "over the first " + std::to_string(common) + " bytes it differs " + where);
}

}  // namespace

std::string_view checkOutcomeName(CheckOutcome outcome) {
    switch (outcome) {
        case CheckOutcome::Passed:
            return "passed";
        case CheckOutcome::Failed:
            return "failed";
        case CheckOutcome::Unchecked:
            return "unchecked";
    }
    return "unknown";
}

ImageCheck checkImage(const std::string &imagePath, const ImageCheckOptions &options) {
    const auto started = std::chrono::steady_clock::now();
    if (options.blockSize == 0)
        throw std::invalid_argument("the block size of an image comparison must not be 0");
    // Both files are opened first, so a missing one is told before a long e2fsck.
    const InputFile image(imagePath, "image");
    std::optional<InputFile> reference;
    if (!options.against.empty())
        reference.emplace(options.against, "reference");

    ImageCheck check;
    check.bytes = image.size();
    check.fileSystem = probeFileSystem(imagePath);
    check.fileSystemBytes = probeFileSystemBytes(imagePath);
    std::string finding;
    if (options.fileSystemCheck && !check.fileSystem.empty()) {
        FsckRun run = runFsck(options.e2fsck, imagePath);
        check.fileSystemChecked = true;
        check.fsckExit = run.exit;
        check.fsckSignal = run.signal;
        check.fsckOutput = std::move(run.tail);
        finding = firstFinding(run.head);
    }
    if (reference)
        compareBytes(image, *reference, options.blockSize, check);

    const bool fileSystemClean =
        check.fileSystemChecked && check.fsckExit == 0 && check.bytes >= check.fileSystemBytes;
    const bool bytesEqual = check.compared && !check.sizesDiffer && check.differingBlocks == 0;
    if (!check.fileSystemChecked && !check.compared)
        check.outcome = CheckOutcome::Unchecked;
    else if ((check.fileSystemChecked && !fileSystemClean) || (check.compared && !bytesEqual))
        check.outcome = CheckOutcome::Failed;
    else
        check.outcome = CheckOutcome::Passed;

    if (check.outcome == CheckOutcome::Unchecked)
        check.summary = check.fileSystem.empty()
                            ? "nothing was checked: the image holds no ext2/3/4 file system "
                              "and no reference file was given"
                            : "nothing was checked: the file-system check of the " +
                                  check.fileSystem +
                                  " image was turned off and no reference file was given";
    else if (!check.compared)
        check.summary = fileSystemPart(check, finding);
    else if (!check.fileSystemChecked)
        check.summary = "the image " + comparisonPart(check, options.against, options.blockSize);
    else
        check.summary = fileSystemPart(check, finding) +
                        (!fileSystemClean ? "; the image "
                         : bytesEqual     ? " and "
                                          : " but ") +
                        comparisonPart(check, options.against, options.blockSize);

    check.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return check;
}

}  // namespace velmora::agent
