#include "replay/cast_copy.h"

#include <gtest/gtest.h>

#include <vector>

#include "replay/shared_file.h"
#include "temp_folder.h"

using kavro::refresh_copy;
using kavro::RefreshedCopy;
using kavro::test::pattern_bytes;
using kavro::test::read_file;
using kavro::test::TempFolder;
using kavro::test::write_file;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CopyFolder {
    TempFolder temp;
    std::filesystem::path source = temp.path() / "temp_mpr.mpr";
    std::filesystem::path copy = temp.path() / "kavro_cast.mpr";
};

// What refresh_copy reports for a copy made afresh, or extended (or left as it was).
std::optional<RefreshedCopy> afresh(std::uint64_t size) { return RefreshedCopy{size, true}; }
std::optional<RefreshedCopy> extended(std::uint64_t size) { return RefreshedCopy{size, false}; }

Bytes first(const Bytes& bytes, std::size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

TEST(RefreshCopy, MissingSourceFailsAndMakesNoCopy) {
    CopyFolder folder;
    EXPECT_EQ(refresh_copy(folder.source, folder.copy), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(folder.copy));
}

TEST(RefreshCopy, CopiesTheWholeSourceWhenThereIsNoCopy) {
    CopyFolder folder;
    const Bytes recording = pattern_bytes(200000, 1);
    write_file(folder.source, recording);
    EXPECT_EQ(refresh_copy(folder.source, folder.copy), afresh(recording.size()));
    EXPECT_EQ(read_file(folder.copy), recording);
}

TEST(RefreshCopy, EmptySourceGivesEmptyCopy) {
    CopyFolder folder;
    write_file(folder.source, {});
    write_file(folder.copy, Bytes{1, 2, 3});
    EXPECT_EQ(refresh_copy(folder.source, folder.copy), afresh(0));
    EXPECT_TRUE(read_file(folder.copy).empty());
}

TEST(RefreshCopy, AppendsOnlyTheBytesBeyondTheCopy) {
    CopyFolder folder;
    const Bytes recording = pattern_bytes(100000, 2);
    write_file(folder.source, first(recording, 30000));
    ASSERT_EQ(refresh_copy(folder.source, folder.copy), afresh(30000));

    // Mark a byte early in the copy. Rewriting the copy would restore it; appending keeps it.
    Bytes marked = read_file(folder.copy);
    marked[10] ^= 0xFF;
    write_file(folder.copy, marked);

    write_file(folder.source, recording);
    EXPECT_EQ(refresh_copy(folder.source, folder.copy), extended(recording.size()));
    Bytes expected = recording;
    expected[10] ^= 0xFF;
    EXPECT_EQ(read_file(folder.copy), expected);
}

TEST(RefreshCopy, SameSizeLeavesTheCopyAsItIs) {
    CopyFolder folder;
    const Bytes recording = pattern_bytes(5000, 3);
    write_file(folder.source, recording);
    ASSERT_EQ(refresh_copy(folder.source, folder.copy), afresh(5000));
    EXPECT_EQ(refresh_copy(folder.source, folder.copy), extended(5000));
    EXPECT_EQ(read_file(folder.copy), recording);
}

TEST(RefreshCopy, ANewRecordingIsCopiedAfreshWhetherShorterOrAlreadyLonger) {
    for (const std::size_t next_size : {7000u, 60000u}) {
        CopyFolder folder;
        write_file(folder.source, pattern_bytes(50000, 4));
        ASSERT_EQ(refresh_copy(folder.source, folder.copy), afresh(50000));
        const Bytes next_recording = pattern_bytes(next_size, 5);
        write_file(folder.source, next_recording);
        EXPECT_EQ(refresh_copy(folder.source, folder.copy), afresh(next_recording.size()));
        EXPECT_EQ(read_file(folder.copy), next_recording) << next_size;
    }
}

TEST(RefreshCopy, ALongRecordingIsCopiedAtMostTheGivenBytesAtATime) {
    CopyFolder folder;
    const Bytes recording = pattern_bytes(100000, 6);
    write_file(folder.source, recording);
    EXPECT_EQ(refresh_copy(folder.source, folder.copy, 30000), afresh(30000));
    EXPECT_EQ(read_file(folder.copy), first(recording, 30000));
    EXPECT_EQ(refresh_copy(folder.source, folder.copy, 30000), extended(60000));
    EXPECT_EQ(refresh_copy(folder.source, folder.copy, 30000), extended(90000));
    EXPECT_EQ(refresh_copy(folder.source, folder.copy, 30000), extended(100000));
    EXPECT_EQ(refresh_copy(folder.source, folder.copy, 30000), extended(100000));
    EXPECT_EQ(read_file(folder.copy), recording);
}

TEST(RefreshCopy, FailsWhenTheCopyCannotBeWritten) {
    CopyFolder folder;
    write_file(folder.source, pattern_bytes(100, 8));
    EXPECT_EQ(refresh_copy(folder.source, folder.temp.path() / "missing" / "kavro_cast.mpr"),
              std::nullopt);
}

TEST(SharedFile, SizeOfMissingFileIsNotKnown) {
    TempFolder temp;
    EXPECT_EQ(kavro::file_size(temp.path() / "none"), std::nullopt);
    write_file(temp.path() / "five", Bytes{1, 2, 3, 4, 5});
    EXPECT_EQ(kavro::file_size(temp.path() / "five"), 5u);
}

TEST(SharedFile, OpensInBinaryWithTheGivenMode) {
    TempFolder temp;
    const auto path = temp.path() / "f";
    kavro::SharedFile out(kavro::open_shared(path, "w"));
    ASSERT_NE(out, nullptr);
    const char bytes[] = {'a', '\n', 'b'};
    ASSERT_EQ(std::fwrite(bytes, 1, 3, out.get()), 3u);
    out.reset();
    // Appending while another handle reads the same file.
    kavro::SharedFile reader(kavro::open_shared(path, "rb"));
    kavro::SharedFile appender(kavro::open_shared(path, "ab"));
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(appender, nullptr);
    ASSERT_EQ(std::fputc('c', appender.get()), 'c');
    appender.reset();
    EXPECT_EQ(kavro::size_of_open(reader.get()), 4u);
    EXPECT_EQ(read_file(path), (Bytes{'a', '\n', 'b', 'c'}));
}
