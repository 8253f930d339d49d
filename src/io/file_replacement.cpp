#include "io/file_replacement.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
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

// Makes the rename itself durable; a folder that cannot be synced is no reason to fail.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

FileReplacementResult replaceFileContents(const fs::path& target, std::string_view bytes) {
    fs::path temporary;
    const int fd = createTemporarySibling(target, temporary);
    if (fd < 0) {
        return {FileReplacementStatus::CannotOpen, errorText(errno)};
    }
    // fsync before the rename: otherwise a crash can leave the new name on empty data.
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        return {FileReplacementStatus::CannotWrite, errorText(!written ? writeError : closeError)};
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        return {FileReplacementStatus::CannotWrite, errorText(renameError)};
    }
    syncFolder(target.parent_path());
    return {};
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

}  // namespace vantel::io
