#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantel::io {

enum class FileReplacementStatus { Replaced, CannotOpen, CannotWrite };

struct FileReplacementResult {
    FileReplacementStatus status = FileReplacementStatus::Replaced;
    std::string reason;  // the system's error text when not replaced
};

// Writes the bytes to a new file in the target's folder and renames it over the
// target, so a failure part-way never leaves a truncated file where a good one was.
// On failure the temporary file is removed and the target is untouched.
// An existing file keeps its permission bits; a symlink stays a link and the file
// it leads to is the one replaced.
FileReplacementResult replaceFileContents(const std::filesystem::path& target, std::string_view bytes);

// The same, throwing std::runtime_error: area + ": cannot open " + target + " for writing",
// or area + ": cannot write " + target + " (" + reason + ")".
void replaceFileContentsOrThrow(const std::filesystem::path& target, std::string_view bytes,
                                const std::string& area);

// Files replaced as a set: every new content is first written and synced beside its
// file, and only when all are written are they renamed into place. A failure while
// writing (a full disk, a folder in the way) so leaves every file as it was.
class FileSetReplacement {
public:
    FileSetReplacement() = default;
    FileSetReplacement(const FileSetReplacement&) = delete;
    FileSetReplacement& operator=(const FileSetReplacement&) = delete;
    // Removes the copies never moved into place.
    ~FileSetReplacement();

    // Writes the copy now; on failure nothing is kept for this target.
    FileReplacementResult add(const std::filesystem::path& target, std::string_view bytes, const std::string& area);
    // Renames the copies into place in the order added. A failing rename (rare: the
    // folders were already written to) throws area + ": cannot write " + target + " (" + reason + ")".
    void commitOrThrow();

private:
    struct StagedFile {
        std::filesystem::path target;
        std::filesystem::path resolved;
        std::filesystem::path temporary;
        std::string area;
    };
    std::vector<StagedFile> staged_;
};

}  // namespace vantel::io
