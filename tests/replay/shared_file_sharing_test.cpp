// Files opened with open_shared leave other processes free to read and write them, as the
// simulator must be while it records the replay we cast or plays the replay we write. Windows
// enforces share modes only between processes, so the other process is share_probe.exe, built
// next to this test.
#include <gtest/gtest.h>
#include <share.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cast_fixture.h"
#include "replay/shared_file.h"
#include "temp_folder.h"

using kavro::open_shared;
using kavro::SharedFile;
using kavro::test::read_file;
using kavro::test::TempFolder;
using kavro::test::write_file;
using namespace std::chrono_literals;

namespace {

constexpr int kSharingViolation = 3;  // share_probe's status when its open is refused
constexpr DWORD kGenerousMs = 60000;

std::filesystem::path probe_program() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, length)).parent_path() / L"share_probe.exe";
}

std::wstring quoted(const std::filesystem::path& path) { return L"\"" + path.wstring() + L"\""; }

// Starts share_probe with `arguments`; the handle is null when it could not start.
class Probe {
  public:
    explicit Probe(const std::wstring& arguments) {
        std::wstring line = quoted(probe_program()) + L" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &started)) {
            CloseHandle(started.hThread);
            process_ = started.hProcess;
        }
    }
    ~Probe() {
        if (process_ != nullptr) CloseHandle(process_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // The probe's exit status, or -1 when it did not start or end within the deadline.
    int status() {
        if (process_ == nullptr || WaitForSingleObject(process_, kGenerousMs) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<int>(code);
    }

  private:
    HANDLE process_ = nullptr;
};

int run_probe(const std::wstring& arguments) { return Probe(arguments).status(); }

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

bool append(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

std::string read_all(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char chunk[256];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file))
        text.append(chunk, got);
    return text;
}

bool exists_within(const std::filesystem::path& path, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

TEST(SharedFileAcrossProcesses, AnotherProcessReadsAndAppendsWhileWeHoldTheFileOpen) {
    TempFolder temp;
    const auto recording = temp.path() / "temp_mpr.mpr";
    const auto seen = temp.path() / "seen.bin";
    write_file(recording, bytes("header."));

    SharedFile reader(open_shared(recording, "rb"));
    SharedFile writer(open_shared(recording, "ab"));
    ASSERT_TRUE(reader && writer);
    ASSERT_TRUE(append(writer.get(), "ours."));

    EXPECT_EQ(run_probe(L"append " + quoted(recording) + L" theirs."), 0);
    EXPECT_EQ(run_probe(L"read " + quoted(recording) + L" " + quoted(seen)), 0);
    EXPECT_EQ(read_file(seen), bytes("header.ours.theirs."));
    EXPECT_EQ(read_all(reader.get()), "header.ours.theirs.");
}

TEST(SharedFileAcrossProcesses, WeReadAndAppendWhileAnotherProcessHoldsTheFileForWriting) {
    TempFolder temp;
    const auto replay = temp.path() / "kavro.mpr";
    const auto ready = temp.path() / "ready";
    const auto release = temp.path() / "release";
    write_file(replay, bytes("start."));

    Probe holder(L"hold " + quoted(replay) + L" " + quoted(ready) + L" " + quoted(release));
    // Let the holder go however this test ends, so no probe outlives it.
    struct Release {
        std::filesystem::path flag;
        ~Release() { write_file(flag, {}); }
    } release_on_exit{release};
    ASSERT_TRUE(exists_within(ready, std::chrono::milliseconds(kGenerousMs)));
    {
        SharedFile reader(open_shared(replay, "rb"));
        SharedFile writer(open_shared(replay, "ab"));
        ASSERT_TRUE(reader && writer);
        EXPECT_EQ(read_all(reader.get()), "start.held.");
        EXPECT_TRUE(append(writer.get(), "ours."));
        write_file(release, {});
        EXPECT_EQ(holder.status(), 0);
    }
    EXPECT_EQ(read_file(replay), bytes("start.held.ours.released."));
}

// The check above can fail: an open that denies writing locks the other process out.
TEST(SharedFileAcrossProcesses, AnOpenThatDeniesWritingLocksTheOtherProcessOut) {
    TempFolder temp;
    const auto recording = temp.path() / "temp_mpr.mpr";
    write_file(recording, bytes("header."));

    SharedFile denying(_wfsopen(recording.c_str(), L"rb", _SH_DENYWR));
    ASSERT_TRUE(denying);
    EXPECT_EQ(run_probe(L"append " + quoted(recording) + L" theirs."), kSharingViolation);
    denying.reset();
    EXPECT_EQ(run_probe(L"append " + quoted(recording) + L" theirs."), 0);
    EXPECT_EQ(read_file(recording), bytes("header.theirs."));
}

// The simulator renames and removes its recording while Kavro copies it every tick: every open
// of ours lets it, so none of its renames fails during a cast.
TEST(SharedFileAcrossProcesses, TheSimulatorRenamesItsRecordingAwayAndBackDuringACast) {
    kavro::test::Cast cast;
    cast.lfs.start_recording(kavro::test::kHeader + 64 * kavro::test::kBlock, 7);
    const std::filesystem::path recording = cast.lfs.paths().source;
    const std::filesystem::path away = recording.parent_path() / L"renamed_away.mpr";
    const std::wstring renames = L"rename " + quoted(recording) + L" " + quoted(away) + L" 100";

    // Casting all along on another thread: the copy opens the recording as fast as it can.
    std::atomic<bool> casting{true};
    std::atomic<int> steps{0};
    std::thread caster([&] {
        while (casting) {
            cast.step();
            ++steps;
        }
    });
    const int during_cast = run_probe(renames);
    casting = false;
    caster.join();
    EXPECT_EQ(during_cast, 0);
    EXPECT_GT(steps.load(), 0);

    // Held open by us the whole time, for reading and for writing alike.
    for (const char* mode : {"rb", "r+b", "ab"}) {
        SharedFile held(open_shared(recording, mode));
        ASSERT_TRUE(held) << mode;
        EXPECT_EQ(run_probe(renames), 0) << mode;
    }
}

// The check above can fail: an open that shares reading and writing but not deleting keeps the
// simulator from renaming its recording.
TEST(SharedFileAcrossProcesses, AnOpenWithoutDeleteSharingKeepsTheRenameFromWorking) {
    TempFolder temp;
    const auto recording = temp.path() / "temp_mpr.mpr";
    const auto away = temp.path() / "renamed_away.mpr";
    write_file(recording, bytes("header."));
    SharedFile held(_wfsopen(recording.c_str(), L"rb", _SH_DENYNO));
    ASSERT_TRUE(held);
    EXPECT_EQ(run_probe(L"rename " + quoted(recording) + L" " + quoted(away) + L" 1"),
              kSharingViolation);
    held.reset();
    EXPECT_EQ(run_probe(L"rename " + quoted(recording) + L" " + quoted(away) + L" 100"), 0);
}
