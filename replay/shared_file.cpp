#include "replay/shared_file.h"

#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace kavro {

#ifdef _WIN32
namespace {

struct WindowsOpen {
    DWORD access = 0;
    DWORD disposition = 0;
    int flags = _O_BINARY;
};

// What fopen's mode means to CreateFileW and to the C runtime's descriptor.
std::optional<WindowsOpen> windows_open(const std::string& mode) {
    const bool plus = mode.find('+') != std::string::npos;
    switch (mode.empty() ? '\0' : mode[0]) {
        case 'r':
            return WindowsOpen{plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, OPEN_EXISTING,
                               _O_BINARY | (plus ? _O_RDWR : _O_RDONLY)};
        case 'w':
            return WindowsOpen{plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE, CREATE_ALWAYS,
                               _O_BINARY | (plus ? _O_RDWR : _O_WRONLY)};
        case 'a':
            return WindowsOpen{plus ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE, OPEN_ALWAYS,
                               _O_BINARY | _O_APPEND | (plus ? _O_RDWR : _O_WRONLY)};
        default:
            return std::nullopt;
    }
}

}  // namespace
#endif

std::FILE* open_shared(const std::filesystem::path& path, const char* mode) {
    std::string binary_mode(mode);
    if (binary_mode.find('b') == std::string::npos) binary_mode += 'b';
#ifdef _WIN32
    // Deny nothing, deleting and renaming included: the simulator keeps writing its replay while
    // we read or write ours, and renames or removes its files while we hold them.
    const std::optional<WindowsOpen> how = windows_open(binary_mode);
    if (!how) return nullptr;
    HANDLE handle = CreateFileW(path.c_str(), how->access,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                how->disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), how->flags);
    if (descriptor == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, binary_mode.c_str());
    if (file == nullptr) _close(descriptor);  // closes the handle too
    return file;
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
