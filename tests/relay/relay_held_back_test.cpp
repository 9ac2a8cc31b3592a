// What a broadcast delay holds back from watchers is held back over HTTP too: the download of a
// live recording, its ranges, length and ETag, and every count the HTTP side shows. Tested on
// the kavro-relay program itself, its recording on disk all along.
#include <gtest/gtest.h>

#include <boost/beast/http/field.hpp>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "temp_folder.h"
#include "tests/relay/exposition.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

namespace http = boost::beast::http;
using kavro::test::TempFolder;

std::optional<nlohmann::json> fetch_json(std::uint16_t http_port, std::string_view target) {
    const auto answer = http_get(http_port, target);
    if (!answer || answer->result_int() != 200) return std::nullopt;
    auto document = nlohmann::json::parse(answer->body(), nullptr, false);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

Bytes body_of(const HttpAnswer& answer) {
    return Bytes(answer.body().begin(), answer.body().end());
}

TEST(RelayHeldBack, WithABroadcastDelayDownloadsAndEveryCountShowOnlyWhatWatchersWereSent) {
    TempFolder folder;
    const auto data = folder.path() / "data";
    RelayProcess relay({"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir",
                        data.string(), "--broadcast-delay", "30", "--resume-grace", "1",
                        "--threads", std::to_string(test_threads())});
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(port, 0);
    ASSERT_NE(http_port, 0);

    constexpr std::size_t kBlocks = 40;  // 180,224 bytes with the header
    const Recording recording(71);
    auto caster = std::make_unique<TestClient>(port);
    TestClient watcher(port);
    ASSERT_TRUE(caster->cast("Delayed final", "BL1"));
    ASSERT_TRUE(watcher.watch("Delayed final"));
    ASSERT_TRUE(caster->send(recording.header_upload()));
    ASSERT_TRUE(upload(*caster, recording, 0, kBlocks));
    const auto uploaded = std::chrono::steady_clock::now();
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, wire::kReplayHeaderSize));

    // Everything is on disk, synced, so there is something that could leak.
    const auto file = data / "recordings" / "1.mpr";
    ASSERT_TRUE(becomes([&] {
        std::error_code error;
        return std::filesystem::file_size(file, error) == file_size(kBlocks);
    }));

    // Its header is synced and listed (what a download of it gives until then is nothing).
    ASSERT_TRUE(becomes([&] {
        const auto archive = fetch_json(http_port, "/archive.json");
        return archive && archive->at("recordings").size() == 1 &&
               archive->at("recordings").at(0).at("bytes") == wire::kReplayHeaderSize;
    }));

    // Sampled over and over until 2.5 s after the upload: only the header shows anywhere.
    std::string first_etag;
    int samples = 0;
    const auto held_back = [&] {
        const auto casts = fetch_json(http_port, "/casts.json");
        EXPECT_TRUE(casts);
        if (!casts) return false;
        EXPECT_EQ(casts->at("casts").at(0).at("replay_bytes"), wire::kReplayHeaderSize);
        const auto archive = fetch_json(http_port, "/archive.json");
        EXPECT_TRUE(archive);
        if (!archive) return false;
        const auto& entry = archive->at("recordings").at(0);
        EXPECT_EQ(entry.at("state"), "live");
        EXPECT_EQ(entry.at("bytes"), wire::kReplayHeaderSize);

        const auto whole = http_get(http_port, "/replays/1.mpr");
        EXPECT_TRUE(whole);
        if (!whole) return false;
        EXPECT_EQ(whole->result_int(), 200);
        EXPECT_EQ(whole->at(http::field::content_length), std::to_string(wire::kReplayHeaderSize));
        EXPECT_TRUE(body_of(*whole) == recording.header());
        const std::string etag(whole->at(http::field::etag));
        if (first_etag.empty()) first_etag = etag;
        EXPECT_EQ(etag, first_etag) << "the ETag would tell that the file grew";
        const auto part = http_get(http_port, "/replays/1.mpr", {{"Range", "bytes=16000-"}});
        EXPECT_TRUE(part);
        if (!part) return false;
        EXPECT_EQ(part->result_int(), 206);
        EXPECT_EQ(part->at(http::field::content_range), "bytes 16000-16383/16384");
        const auto past = http_get(http_port, "/replays/1.mpr", {{"Range", "bytes=16384-"}});
        EXPECT_TRUE(past);
        if (!past) return false;
        EXPECT_EQ(past->result_int(), 416);

        const auto metrics = http_get(http_port, "/metrics");
        EXPECT_TRUE(metrics);
        if (!metrics) return false;
        const Exposition scraped = parse_exposition(metrics->body());
        EXPECT_EQ(scraped.value("kavro_relay_cast_replay_bytes{cast=\"Delayed final\"}"),
                  wire::kReplayHeaderSize);
        EXPECT_EQ(scraped.value("kavro_relay_store_bytes"), wire::kReplayHeaderSize);
        // The watcher has had the header alone.
        EXPECT_FALSE(watcher.read_skipping_keepalives(10ms));
        ++samples;
        return std::chrono::steady_clock::now() - uploaded >= std::chrono::milliseconds(2500);
    };
    ASSERT_TRUE(becomes(held_back, 20s));
    EXPECT_GE(samples, 3);

    // The caster leaves; its grace period over, the cast ends and nothing is held back: the
    // watcher gets every block, and the download is the recording, byte for byte.
    caster.reset();
    ASSERT_TRUE(reader.read_until(watcher, file_size(kBlocks)));
    EXPECT_TRUE(reader.file() == recording.file(kBlocks));
    ASSERT_TRUE(becomes([&] {
        const auto archive = fetch_json(http_port, "/archive.json");
        if (!archive) return false;
        const auto& entry = archive->at("recordings").at(0);
        return entry.at("state") == "finished" && entry.at("bytes") == file_size(kBlocks);
    }));
    const auto after = http_get(http_port, "/replays/1.mpr");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->result_int(), 200);
    EXPECT_TRUE(body_of(*after) == recording.file(kBlocks));
    const Exposition scraped = parse_exposition(http_get(http_port, "/metrics")->body());
    EXPECT_EQ(scraped.value("kavro_relay_store_bytes"), file_size(kBlocks));
}

TEST(RelayHeldBack, ARecordingANewHeaderReplacesKeepsWhatTheDelayHeldBackUntilTheCastEnds) {
    TempFolder folder;
    RelayProcess relay({"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir",
                        (folder.path() / "data").string(), "--broadcast-delay", "30",
                        "--resume-grace", "1", "--threads", std::to_string(test_threads())});
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(http_port, 0);
    const Recording heat(81), restart(82);
    auto caster = std::make_unique<TestClient>(port);
    TestClient watcher(port);
    ASSERT_TRUE(caster->cast("Restarted heat"));
    ASSERT_TRUE(watcher.watch("Restarted heat"));
    ASSERT_TRUE(caster->send(heat.header_upload()));
    ASSERT_TRUE(upload(*caster, heat, 0, 12));
    // Synced whole, and held back: then the race restarts with a new header.
    ASSERT_TRUE(becomes([&] {
        std::error_code error;
        return std::filesystem::file_size(folder.path() / "data" / "recordings" / "1.mpr", error) ==
               file_size(12);
    }));
    ASSERT_TRUE(caster->send(restart.header_upload()));
    ASSERT_TRUE(upload(*caster, restart, 0, 5));

    // The first recording is finished, yet its held-back blocks stay held back.
    ASSERT_TRUE(becomes([&] {
        const auto archive = fetch_json(http_port, "/archive.json");
        return archive && archive->at("recordings").size() == 2 &&
               archive->at("recordings").at(1).at("state") == "finished" &&
               archive->at("recordings").at(0).at("bytes") == wire::kReplayHeaderSize;
    }));
    const auto archive = fetch_json(http_port, "/archive.json");
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->at("recordings").at(1).at("bytes"), wire::kReplayHeaderSize);
    for (const char* target : {"/replays/1.mpr", "/replays/2.mpr"}) {
        const auto download = http_get(http_port, target);
        ASSERT_TRUE(download);
        EXPECT_EQ(download->at(http::field::content_length),
                  std::to_string(wire::kReplayHeaderSize))
            << target;
    }
    const auto first = http_get(http_port, "/replays/1.mpr");
    EXPECT_TRUE(body_of(*first) == heat.header());
    const Exposition scraped = parse_exposition(http_get(http_port, "/metrics")->body());
    EXPECT_EQ(scraped.value("kavro_relay_store_bytes"), 2 * wire::kReplayHeaderSize);

    // Once the cast is over nothing is held back: both recordings download whole.
    caster.reset();
    ASSERT_TRUE(becomes([&] {
        const auto ended = fetch_json(http_port, "/archive.json");
        return ended && ended->at("recordings").at(0).at("state") == "finished" &&
               ended->at("recordings").at(0).at("bytes") == file_size(5);
    }));
    EXPECT_TRUE(body_of(*http_get(http_port, "/replays/1.mpr")) == heat.file(12));
    EXPECT_TRUE(body_of(*http_get(http_port, "/replays/2.mpr")) == restart.file(5));
}

}  // namespace
}  // namespace kavro::relay::testing
