#include "io/npz_archive.hpp"

#include <fstream>
#include <stdexcept>

#include "io/file_replacement.hpp"
#include "io/zip_archive.hpp"

namespace vantel::io {

std::string buildNpzArchive(const std::string& key, const std::vector<std::uint64_t>& shape,
                            const std::vector<double>& data) {
    return buildSingleEntryZip(key + ".npy", buildNpyBlob(shape, data));
}

void saveNpzArray(const std::filesystem::path& path, const std::string& key,
                  const std::vector<std::uint64_t>& shape, const std::vector<double>& data) {
    replaceFileContentsOrThrow(path, buildNpzArchive(key, shape, data), "npz");
}

NpyArray loadNpzArray(const std::filesystem::path& path, const std::string& key) {
    const std::string archive = readFileBytes(path);
    const ZipEntryInfo info = findZipEntry(archive, key + ".npy");
    return parseNpyBlob(readZipEntry(archive, info));
}

std::string readFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    // A folder opens as a stream on some systems but has no size to read.
    if (!file || std::filesystem::is_directory(path)) {
        throw std::runtime_error("npz: cannot open " + path.string() + " for reading");
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    std::string bytes(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size < 0 || !file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        throw std::runtime_error("npz: cannot read " + path.string());
    }
    return bytes;
}

}  // namespace vantel::io
