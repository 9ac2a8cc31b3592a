#include "replay/shared_file.h"

#include <string>

#ifdef _WIN32
#include <share.h>
#else
#include <sys/types.h>
#endif

namespace kavro {

std::FILE* open_shared(const std::filesystem::path& path, const char* mode) {
    std::string binary_mode(mode);
    if (binary_mode.find('b') == std::string::npos) binary_mode += 'b';
#ifdef _WIN32
    // Deny nothing, so the simulator keeps writing its replay while we read or write ours.
    const std::wstring wide_mode(binary_mode.begin(), binary_mode.end());
    return _wfsopen(path.c_str(), wide_mode.c_str(), _SH_DENYNO);
#else
    return std::fopen(path.c_str(), binary_mode.c_str());
#endif
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::optional<std::uint64_t> size_of_open(std::FILE* file) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) return std::nullopt;
    const __int64 end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
    const off_t end = ftello(file);
#endif
    if (end < 0) return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

std::optional<std::uint64_t> file_size(const std::filesystem::path& path) {
    std::FILE* file = open_shared(path, "rb");
    if (file == nullptr) return std::nullopt;
    const std::optional<std::uint64_t> size = size_of_open(file);
    std::fclose(file);
    return size;
}

}  // namespace kavro
