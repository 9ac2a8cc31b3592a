// Files the simulator may hold open at the same time: the replay it is recording, our copy of
// it, and the replay a watcher plays. Every open allows others to keep reading and writing, and
// on Windows to rename and delete the file too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

namespace kavro {

// Opens `path` like std::fopen with `mode` ("rb", "wb", "ab", "r+b", ...), always in binary,
// without locking others out of the file. nullptr when it cannot be opened.
std::FILE* open_shared(const std::filesystem::path& path, const char* mode);

// The size of the file at `path`, read by opening it; nullopt if it can't be opened.
std::optional<std::uint64_t> file_size(const std::filesystem::path& path);

// 64-bit seek and size for files opened with open_shared; false / nullopt on failure.
bool seek_to(std::FILE* file, std::uint64_t offset);
std::optional<std::uint64_t> size_of_open(std::FILE* file);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open file that closes itself when it goes out of scope.
using SharedFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace kavro
