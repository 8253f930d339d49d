#include "io/file_replacement.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantel::io {
namespace {

namespace fs = std::filesystem;

std::string errorText(int error) { return std::strerror(error); }

// O_EXCL on a fresh name: never opens someone else's file; the mode honours the umask
// like any ordinary new file.
int createTemporarySibling(const fs::path& target, fs::path& temporary) {
    static std::atomic<unsigned long> counter{0};
    const std::string prefix = "." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = target.parent_path() / (prefix + std::to_string(counter++));
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// The file a rename must replace: a symlink stays a link and its target gets the new
// content. A dangling link leads to the file it names, which is then created.
bool resolveLinks(const fs::path& target, fs::path& resolved, int& error) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit for one lookup
    resolved = target;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        // A path that cannot be examined is left for the open to report.
        std::error_code failure;
        if (!fs::is_symlink(fs::symlink_status(resolved, failure))) {
            return true;
        }
        const fs::path link = fs::read_symlink(resolved, failure);
        if (failure) {
            error = failure.value();
            return false;
        }
        resolved = link.is_absolute() ? link : resolved.parent_path() / link;
    }
    error = ELOOP;
    return false;
}

// A replaced file keeps its permission bits; a new one gets the umask's. A folder in
// the way is refused here rather than by the rename, before any file of a set is replaced.
bool keepPermissions(int fd, const fs::path& resolved, int& error) {
    struct stat existing {};
    if (::stat(resolved.c_str(), &existing) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = errno;
        return false;
    }
    if (S_ISDIR(existing.st_mode)) {
        error = EISDIR;
        return false;
    }
    if (::fchmod(fd, existing.st_mode & 07777) != 0) {
        error = errno;
        return false;
    }
    return true;
}

// Makes the rename itself durable; a folder that cannot be synced is no reason to fail.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The new content, written and synced beside the file it will replace.
FileReplacementResult writeTemporaryCopy(const fs::path& requestedTarget, std::string_view bytes,
                                         fs::path& target, fs::path& temporary) {
    int linkError = 0;
    if (!resolveLinks(requestedTarget, target, linkError)) {
        return {FileReplacementStatus::CannotWrite, errorText(linkError)};
    }
    const int fd = createTemporarySibling(target, temporary);
    if (fd < 0) {
        return {FileReplacementStatus::CannotOpen, errorText(errno)};
    }
    int writeError = 0;
    bool written = keepPermissions(fd, target, writeError);
    if (written && !writeAll(fd, bytes)) {
        written = false;
        writeError = errno;
    }
    // fsync before the rename: otherwise a crash can leave the new name on empty data.
    if (written && ::fsync(fd) != 0) {
        written = false;
        writeError = errno;
    }
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        return {FileReplacementStatus::CannotWrite, errorText(!written ? writeError : closeError)};
    }
    return {};
}

FileReplacementResult moveIntoPlace(const fs::path& temporary, const fs::path& target) {
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return {FileReplacementStatus::CannotWrite, errorText(renameError)};
    }
    syncFolder(target.parent_path());
    return {};
}

}  // namespace

FileReplacementResult replaceFileContents(const fs::path& target, std::string_view bytes) {
    fs::path resolved;
    fs::path temporary;
    const FileReplacementResult written = writeTemporaryCopy(target, bytes, resolved, temporary);
    if (written.status != FileReplacementStatus::Replaced) {
        return written;
    }
    return moveIntoPlace(temporary, resolved);
}

void replaceFileContentsOrThrow(const fs::path& target, std::string_view bytes, const std::string& area) {
    const FileReplacementResult result = replaceFileContents(target, bytes);
    switch (result.status) {
        case FileReplacementStatus::Replaced:
            return;
        case FileReplacementStatus::CannotOpen:
            throw std::runtime_error(area + ": cannot open " + target.string() + " for writing");
        case FileReplacementStatus::CannotWrite:
            throw std::runtime_error(area + ": cannot write " + target.string() + " (" + result.reason + ")");
    }
}

FileSetReplacement::~FileSetReplacement() {
    for (const StagedFile& file : staged_) {
        ::unlink(file.temporary.c_str());
    }
}

FileReplacementResult FileSetReplacement::add(const fs::path& target, std::string_view bytes,
                                              const std::string& area) {
    StagedFile file{target, {}, {}, area};
    const FileReplacementResult written = writeTemporaryCopy(target, bytes, file.resolved, file.temporary);
    if (written.status == FileReplacementStatus::Replaced) {
        staged_.push_back(std::move(file));
    }
    return written;
}

void FileSetReplacement::commitOrThrow() {
    std::vector<StagedFile> staged = std::move(staged_);
    staged_.clear();
    for (std::size_t i = 0; i < staged.size(); ++i) {
        const FileReplacementResult moved = moveIntoPlace(staged[i].temporary, staged[i].resolved);
        if (moved.status != FileReplacementStatus::Replaced) {
            // The copies not moved yet are the destructor's to remove.
            staged_.assign(staged.begin() + static_cast<std::ptrdiff_t>(i) + 1, staged.end());
            throw std::runtime_error(staged[i].area + ": cannot write " + staged[i].target.string() + " (" +
                                     moved.reason + ")");
        }
    }
}

}  // namespace vantel::io
