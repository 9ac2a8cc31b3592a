// The relay with a data folder, and the real faults it must live through: SIGKILL mid-cast and
// a restart on the same folder, a disk that fills up under a cast, files and a catalogue
// damaged while the relay was down. And what a user gets from it afterwards: the archive and
// its downloads, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "temp_folder.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

namespace http = boost::beast::http;
using kavro::test::read_file;
using kavro::test::TempFolder;

std::optional<nlohmann::json> fetch_json(std::uint16_t http_port, std::string_view target) {
    const auto answer = http_get(http_port, target);
    if (!answer || answer->result_int() != 200) return std::nullopt;
    auto document = nlohmann::json::parse(answer->body(), nullptr, false);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

// The archive's entry for the recording named `name`, once `check` holds for it.
std::optional<nlohmann::json> archived(std::uint16_t http_port, const std::string& name,
                                       const std::function<bool(const nlohmann::json&)>& check) {
    std::optional<nlohmann::json> found;
    becomes([&] {
        const auto archive = fetch_json(http_port, "/archive.json");
        if (!archive) return false;
        for (const auto& entry : archive->at("recordings")) {
            if (entry.at("name") == name && check(entry)) found = entry;
        }
        return found.has_value();
    });
    return found;
}

bool holds(const nlohmann::json& entry, std::size_t blocks) {
    return entry.at("bytes") == file_size(blocks);
}

Bytes body_of(const HttpAnswer& answer) {
    return Bytes(answer.body().begin(), answer.body().end());
}

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// True once the log file at `path` has a line containing `part`.
bool log_says(const std::string& path, const std::string& part) {
    return becomes([&] { return text_of(path).find(part) != std::string::npos; });
}

RelayOptions store_options(const std::filesystem::path& dir) {
    RelayOptions options = test_options();
    options.data_dir = dir;
    return options;
}

TEST(RelayStore, AfterSigkillTheCastIsBackAndItsCasterContinuesTheSameStream) {
    TempFolder folder;
    const std::string dir = (folder.path() / "data").string();
    const std::string log = (folder.path() / "relay.log").string();
    const std::vector<std::string> arguments{"--listen",    "127.0.0.1:0", "--http",
                                             "127.0.0.1:0", "--data-dir",  dir};
    const Recording recording(31);
    {
        RelayProcess relay(arguments, log);
        const std::uint16_t port = relay.port();
        const std::uint16_t http_port = relay.http_port();
        ASSERT_NE(http_port, 0);
        TestClient caster(port), watcher(port);
        ASSERT_TRUE(caster.cast("crash#k3y", "AS3"));  // a cast with a key
        ASSERT_TRUE(watcher.watch("crash"));
        ASSERT_TRUE(caster.send(recording.header_upload()));
        ASSERT_TRUE(upload(caster, recording, 0, 30));
        ReplayReader reader;
        ASSERT_TRUE(reader.read_until(watcher, file_size(30)));
        // Synced: the catalogue says so only after the file is.
        ASSERT_TRUE(archived(http_port, "crash", [](const auto& e) { return holds(e, 30); }));
        ASSERT_TRUE(upload(caster, recording, 30, 40));  // in flight when the relay dies
        EXPECT_FALSE(relay.end_with(SIGKILL)) << "the relay was to die of SIGKILL";
    }

    RelayProcess relay(arguments, log);
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(port, 0) << "the relay did not start again on its data folder";
    const auto casts = fetch_json(http_port, "/casts.json");
    ASSERT_TRUE(casts);
    ASSERT_EQ(casts->at("casts").size(), 1u);
    const auto& cast = casts->at("casts")[0];
    EXPECT_EQ(cast.at("name"), "crash");
    EXPECT_EQ(cast.at("caster_connected"), false);
    const std::size_t restored =
        (cast.at("replay_bytes").get<std::size_t>() - file_size(0)) / wire::kBlockSize;
    EXPECT_GE(restored, 30u) << "blocks synced before the kill are missing";
    EXPECT_LE(restored, 40u);

    TestClient late(port);
    ASSERT_TRUE(late.watch("crash"));  // listed: a watcher may watch it at once
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(late, file_size(restored)));
    EXPECT_TRUE(reader.file() == recording.file(restored));

    // Its key came back with it: from the same address, only the key owns the cast.
    TestClient keyless(port);
    ASSERT_TRUE(keyless.send(hello_message(wire::kModeCast, "crash", "AS3")));
    const auto refused = keyless.read_skipping_keepalives();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->whole, Bytes(wire::kAckRefused.begin(), wire::kAckRefused.end()));
    const auto catalogue = std::filesystem::status(std::filesystem::path(dir) / "catalogue.sqlite");
    EXPECT_EQ(catalogue.permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none)
        << "the catalogue, which holds the keys, is readable by anyone";
    // The caster comes back and uploads its recording from the header, as a client does.
    TestClient caster(port);
    ASSERT_TRUE(caster.cast("crash#k3y", "AS3"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(upload(caster, recording, 0, 50));
    ASSERT_TRUE(reader.read_until(late, file_size(50)));
    EXPECT_TRUE(reader.file() == recording.file(50));
    EXPECT_EQ(reader.headers_seen, 1) << "the resumed cast sent its header again";
    const auto entry = archived(http_port, "crash", [](const auto& e) { return holds(e, 50); });
    ASSERT_TRUE(entry) << "the stream did not go on into the same recording";
    EXPECT_EQ(entry->at("state"), "live");
    EXPECT_EQ(entry->at("id"), 1);

    // SIGTERM: everything synced, and out within a few seconds even with a watcher that takes
    // nothing (it would hold a relay that waits for it for its 60 s stall time-out).
    TestClient stalled(port, 4096);
    ASSERT_TRUE(stalled.watch("crash"));
    ASSERT_TRUE(log_says(log, "joined crash (2 watchers)"));
    // More than the sockets between the relay and that watcher hold.
    ASSERT_TRUE(upload(caster, recording, 50, 1050));
    ASSERT_TRUE(reader.read_until(late, file_size(1050)));
    ::kill(relay.pid(), SIGTERM);
    ASSERT_TRUE(relay.ends_within(kDeadline)) << "the relay did not stop promptly";
    EXPECT_EQ(relay.exit_status(), 0);
    RelayProcess again(arguments, log);
    ASSERT_NE(again.port(), 0);
    const auto kept = fetch_json(again.http_port(), "/casts.json");
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->at("casts").size(), 1u);
    EXPECT_EQ(kept->at("casts")[0].at("replay_bytes"), file_size(1050));
    EXPECT_EQ(again.end_with(SIGTERM), 0);

    const std::string text = text_of(log);
    EXPECT_NE(text.find("cast crash restored from the data folder with " +
                        std::to_string(restored) + " blocks"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("the data folder is synced and closed"), std::string::npos);
}

TEST(RelayStore, ARaceIsListedAndDownloadsByteForByteWithRangesWhileLiveAndAfter) {
    TempFolder folder;
    RelayOptions options = store_options(folder.path() / "data");
    options.resume_grace = 500ms;
    RunningRelay relay(options);
    const Recording recording(32);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster->cast("Sunday league R3/..\\x", "BL1"));
    ASSERT_TRUE(watcher.watch("Sunday league R3/..\\x"));
    ASSERT_TRUE(caster->send(recording.header_upload()));
    ASSERT_TRUE(upload(*caster, recording, 0, 20));

    const std::string name = "Sunday league R3/..\\x";
    const auto live = archived(relay.http_port(), name, [](const auto& e) { return holds(e, 20); });
    ASSERT_TRUE(live);
    EXPECT_EQ(live->at("state"), "live");
    EXPECT_TRUE(live->at("ended").is_null());
    EXPECT_EQ(live->at("track"), "BL1");
    const std::string started = live->at("started");
    ASSERT_EQ(started.size(), 20u);  // 2026-12-09T20:15:03Z
    EXPECT_EQ(started.back(), 'Z');
    const std::string url = "/" + live->at("url").get<std::string>();
    const auto casts = fetch_json(relay.http_port(), "/casts.json");
    ASSERT_TRUE(casts);
    EXPECT_EQ("/" + casts->at("casts")[0].at("replay_url").get<std::string>(), url);

    const auto whole = http_get(relay.http_port(), url);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->result_int(), 200);
    EXPECT_EQ(whole->at(http::field::content_type), "application/octet-stream");
    EXPECT_EQ(whole->at(http::field::content_disposition),
              "attachment; filename=\"Sunday_league_R3..x-" + started.substr(0, 10) + ".mpr\"");
    EXPECT_EQ(whole->at(http::field::content_length), std::to_string(file_size(20)));
    EXPECT_TRUE(body_of(*whole) == recording.file(20)) << "what is stored so far, while live";
    const std::string etag(whole->at(http::field::etag));

    const auto part = http_get(relay.http_port(), url, {{"Range", "bytes=16384-20479"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->result_int(), 206);
    EXPECT_EQ(part->at(http::field::content_range),
              "bytes 16384-20479/" + std::to_string(file_size(20)));
    EXPECT_TRUE(body_of(*part) == recording.block(0));
    const auto tail = http_get(relay.http_port(), url, {{"Range", "bytes=-4096"}});
    ASSERT_TRUE(tail);
    EXPECT_TRUE(body_of(*tail) == recording.block(19));
    const auto outside = http_get(relay.http_port(), url, {{"Range", "bytes=999999999-"}});
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->result_int(), 416);
    HttpTestClient head_client(relay.http_port());
    const auto head = head_client.request(http::verb::head, url);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->at(http::field::content_length), std::to_string(file_size(20)));
    EXPECT_TRUE(head->body().empty());

    // The recording grows: a range asked for with the old ETag gets the whole, new file.
    ASSERT_TRUE(upload(*caster, recording, 20, 30));
    ASSERT_TRUE(archived(relay.http_port(), name, [](const auto& e) { return holds(e, 30); }));
    const auto changed =
        http_get(relay.http_port(), url, {{"Range", "bytes=0-99"}, {"If-Range", etag}});
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->result_int(), 200);
    EXPECT_TRUE(body_of(*changed) == recording.file(30));
    EXPECT_NE(std::string(changed->at(http::field::etag)), etag);

    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(30)));
    caster.reset();  // gone: the grace period ends the cast
    const auto over = archived(relay.http_port(), name,
                               [](const auto& e) { return e.at("state") == "finished"; });
    ASSERT_TRUE(over);
    EXPECT_FALSE(over->at("ended").is_null());
    EXPECT_EQ(over->at("watchers_peak"), 1);
    EXPECT_TRUE(holds(*over, 30));
    const auto after = http_get(relay.http_port(), url);
    ASSERT_TRUE(after);
    EXPECT_TRUE(body_of(*after) == recording.file(30));

    // Another race: listed first, newest first; no address of any client anywhere.
    TestClient second(relay.port());
    ASSERT_TRUE(second.cast("Second"));
    ASSERT_TRUE(second.send(Recording(33).header_upload()));
    ASSERT_TRUE(archived(relay.http_port(), "Second", [](const auto&) { return true; }));
    const auto archive = http_get(relay.http_port(), "/archive.json");
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->body().find("127.0.0.1"), std::string::npos);
    // Where the relay keeps a recording's caster's address, only the relay's user may read it.
    const auto about = folder.path() / "data" / "recordings" /
                       (std::to_string(live->at("id").get<std::uint64_t>()) + ".json");
    const auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    EXPECT_EQ(std::filesystem::status(about).permissions() & others, std::filesystem::perms::none);
    const auto list = nlohmann::json::parse(archive->body()).at("recordings");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].at("name"), "Second");
    const auto missing = http_get(relay.http_port(), "/replays/99.mpr");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->result_int(), 404);
}

// A small tmpfs of its own, where the test may mount one (as root); otherwise the recordings
// folder made read-only, which fails the recording's file as a full disk fails its writes.
class SmallDisk {
  public:
    SmallDisk(const std::filesystem::path& dir, std::size_t bytes) : dir_(dir) {
        std::filesystem::create_directories(dir);
        const std::string size = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

  private:
    std::filesystem::path dir_;
    bool mounted_ = false;
};

TEST(RelayStore, AFullDiskEndsNothingTheRecordingIsIncompleteAndTheCastGoesOnFromMemory) {
    TempFolder folder;
    const auto dir = folder.path() / "data";
    SmallDisk disk(dir, 1024 * 1024);
    RelayOptions options = store_options(dir);
    options.resume_grace = 500ms;
    auto relay = std::make_unique<RunningRelay>(options);
    if (!disk.mounted()) {
        // Not root here: the folder loses its write permission instead.
        std::filesystem::permissions(dir / "recordings", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
    }
    const Recording recording(34);
    constexpr std::size_t kBlocks = 600;  // 2.4 MiB: more than the disk holds
    auto caster = std::make_unique<TestClient>(relay->port());
    TestClient watcher(relay->port());
    ASSERT_TRUE(caster->cast("full"));
    ASSERT_TRUE(watcher.watch("full"));
    ASSERT_TRUE(caster->send(recording.header_upload()));
    ASSERT_TRUE(upload(*caster, recording, 0, kBlocks));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(kBlocks)));
    EXPECT_TRUE(reader.file() == recording.file(kBlocks));
    EXPECT_EQ(reader.headers_seen, 1);
    ASSERT_TRUE(relay->logged({"recording 1 (full): ", "failed"}));

    // A late joiner gets it all too: what the file holds from there, the rest from memory.
    TestClient late(relay->port());
    ASSERT_TRUE(late.watch("full"));
    ReplayReader late_reader;
    ASSERT_TRUE(late_reader.read_until(late, file_size(kBlocks)));
    EXPECT_TRUE(late_reader.file() == recording.file(kBlocks));
    ASSERT_TRUE(upload(*caster, recording, kBlocks, kBlocks + 5));  // the cast goes on
    ASSERT_TRUE(reader.read_until(watcher, file_size(kBlocks + 5)));
    EXPECT_TRUE(reader.file() == recording.file(kBlocks + 5));

    const auto entry = archived(relay->http_port(), "full",
                                [](const auto& e) { return e.at("state") == "incomplete"; });
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->at("ended").is_null()) << "incomplete, but still live";
    const auto metrics = http_get(relay->http_port(), "/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->body().find("kavro_relay_store_write_errors_total 0\n"), std::string::npos);
    caster.reset();
    ASSERT_TRUE(archived(relay->http_port(), "full",
                         [](const auto& e) { return !e.at("ended").is_null(); }));
    const auto lines = relay->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("recording 1 (full): ") != std::string::npos &&
                                       line.find("failed") != std::string::npos;
                            }),
              1)
        << "one log line for the failed recording";
    relay.reset();

    // What the file holds is the recording's first blocks, whole, and what the archive says.
    const Bytes stored = read_file(dir / "recordings" / "1.mpr");
    if (disk.mounted()) {
        ASSERT_GE(stored.size(), file_size(0));
        ASSERT_EQ((stored.size() - file_size(0)) % wire::kBlockSize, 0u);
        EXPECT_LT(stored.size(), file_size(kBlocks));
        EXPECT_TRUE(stored == recording.file((stored.size() - file_size(0)) / wire::kBlockSize));
        EXPECT_EQ(entry->at("bytes"), stored.size());
    } else {
        EXPECT_TRUE(stored.empty());
    }
}

TEST(RelayStore, AtStartATornBlockIsCutAndMissingFilesAndADamagedCatalogueAreSkipped) {
    TempFolder folder;
    const auto dir = folder.path() / "data";
    RelayOptions options = store_options(dir);
    options.resume_grace = 200ms;
    const Recording torn(35), gone(36), kept(37);
    {
        RunningRelay relay(options);
        for (const auto& [name, recording, blocks] :
             {std::tuple{"torn", &torn, 10}, std::tuple{"gone", &gone, 5},
              std::tuple{"kept", &kept, 3}}) {
            TestClient caster(relay.port());
            ASSERT_TRUE(caster.cast(name));
            ASSERT_TRUE(caster.send(recording->header_upload()));
            ASSERT_TRUE(upload(caster, *recording, 0, blocks));
            ASSERT_TRUE(
                archived(relay.http_port(), name, [&](const auto& e) { return holds(e, blocks); }));
        }
        for (const char* name : {"torn", "gone", "kept"}) {
            ASSERT_TRUE(archived(relay.http_port(), name,
                                 [](const auto& e) { return e.at("state") == "finished"; }));
        }
    }
    // A recording cut in the middle of a block (its relay died writing), and one whose file
    // went missing.
    std::filesystem::resize_file(dir / "recordings" / "1.mpr", file_size(10) - 1000);
    std::filesystem::remove(dir / "recordings" / "2.mpr");
    {
        RunningRelay relay(options);
        EXPECT_TRUE(relay.logged({"recording 1 (torn): cut a torn last block of 3096 bytes"}));
        EXPECT_TRUE(relay.logged({"recording 2 (gone): its file", "is missing"}));
        const auto entry = archived(relay.http_port(), "torn", [](const auto&) { return true; });
        ASSERT_TRUE(entry);
        EXPECT_TRUE(holds(*entry, 9));
        const auto download = http_get(relay.http_port(), "/replays/1.mpr");
        ASSERT_TRUE(download);
        EXPECT_TRUE(body_of(*download) == torn.file(9));
        const auto archive = fetch_json(relay.http_port(), "/archive.json");
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->at("recordings").size(), 2u);
    }
    // The catalogue's first page overwritten: it is set aside and the archive built again.
    {
        std::fstream catalogue(dir / "catalogue.sqlite",
                               std::ios::in | std::ios::out | std::ios::binary);
        const std::string garbage(100, 'x');
        catalogue.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    RunningRelay relay(options);
    EXPECT_TRUE(relay.logged({"the catalogue", "is damaged", "built again"}));
    EXPECT_TRUE(std::filesystem::exists(dir / "catalogue.sqlite.damaged"));
    const auto again = archived(relay.http_port(), "kept", [](const auto&) { return true; });
    ASSERT_TRUE(again);
    EXPECT_TRUE(holds(*again, 3));
    EXPECT_EQ(again->at("state"), "finished");
    const auto download = http_get(relay.http_port(), "/replays/1.mpr");
    ASSERT_TRUE(download);
    EXPECT_TRUE(body_of(*download) == torn.file(9));
    // New recordings take ids no recording had.
    TestClient caster(relay.port());
    ASSERT_TRUE(caster.cast("new"));
    ASSERT_TRUE(caster.send(Recording(38).header_upload()));
    const auto fresh = archived(relay.http_port(), "new", [](const auto&) { return true; });
    ASSERT_TRUE(fresh);
    EXPECT_GT(fresh->at("id").get<int>(), 3);
}

}  // namespace
}  // namespace kavro::relay::testing
