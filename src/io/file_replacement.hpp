#pragma once

#include <filesystem>
#include <string>
#include <string_view>

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

}  // namespace vantel::io
