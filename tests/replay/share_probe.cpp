// A second Windows process for the file-sharing tests: Windows (and Wine) enforce a file's share
// modes only between processes, so a test of them needs another process to open the same file.
//
//   share_probe append PATH TEXT         opens PATH as a recorder does (writing, others may read
//                                        and write), appends TEXT and closes it
//   share_probe read PATH COPY           opens PATH as a player does (reading, others may read
//                                        and write) and copies what it holds to COPY
//   share_probe hold PATH READY RELEASE  opens PATH for appending, appends "held.", creates
//                                        READY, waits up to a minute for RELEASE to exist,
//                                        appends "released." and closes it
//   share_probe rename PATH AWAY COUNT   renames PATH to AWAY and back COUNT times, as the
//                                        simulator does with its recording, stopping at the
//                                        first rename that fails
//
// Exit status: 0 done, 3 the open was refused by a sharing violation, 1 anything else.
#include <windows.h>

#include <string>

namespace {

constexpr int kSharingViolation = 3;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

int refused_or_failed() {
    const DWORD error = GetLastError();
    // Renaming a file another process holds without delete sharing is refused as access denied.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? kSharingViolation : 1;
}

bool write_all(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != L'\0'; ++text) result += static_cast<char>(*text);
    return result;
}

int append(const wchar_t* path, const wchar_t* text) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return refused_or_failed();
    const bool written = write_all(file, narrow(text));
    CloseHandle(file);
    return written ? 0 : 1;
}

int read(const wchar_t* path, const wchar_t* copy_path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return refused_or_failed();
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    HANDLE copy = CreateFileW(copy_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) return 1;
    const bool written = write_all(copy, bytes);
    CloseHandle(copy);
    return written ? 0 : 1;
}

int hold(const wchar_t* path, const wchar_t* ready, const wchar_t* release) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return refused_or_failed();
    bool ok = write_all(file, "held.");
    HANDLE flag = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = ok && flag != INVALID_HANDLE_VALUE;
    if (flag != INVALID_HANDLE_VALUE) CloseHandle(flag);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (ok && GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() > deadline) ok = false;
        Sleep(20);
    }
    ok = ok && write_all(file, "released.");
    CloseHandle(file);
    return ok ? 0 : 1;
}

int rename_back_and_forth(const wchar_t* path, const wchar_t* away, const wchar_t* count) {
    const int times = _wtoi(count);
    for (int i = 0; i < times; ++i) {
        if (!MoveFileExW(path, away, 0)) return refused_or_failed();
        if (!MoveFileExW(away, path, 0)) return refused_or_failed();
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"append" && argc == 4) return append(argv[2], argv[3]);
    if (command == L"read" && argc == 4) return read(argv[2], argv[3]);
    if (command == L"hold" && argc == 5) return hold(argv[2], argv[3], argv[4]);
    if (command == L"rename" && argc == 5) return rename_back_and_forth(argv[2], argv[3], argv[4]);
    return 1;
}
