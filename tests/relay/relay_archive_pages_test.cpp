// /archive.json one page at a time, over a catalogue of a few hundred recordings: every
// recording once, newest first, pages no longer than asked, a way to the next page, and 400 for
// parameters the relay cannot use; and /healthz answering promptly while clients page through.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "relay/store/recording_store.h"
#include "temp_folder.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

using kavro::test::TempFolder;

constexpr std::size_t kRecordings = 300;

// A data folder whose catalogue lists `count` finished recordings of a header and one block.
void fill_catalogue(const std::filesystem::path& dir, std::size_t count) {
    StoreOptions options;
    options.dir = dir;
    options.max_replay_bytes = 1 << 20;
    options.retention.keep_bytes = 0;
    options.retention.keep_for = {};
    RecordingStore store(std::move(options), [](const std::string&) {});
    const Recording recording(5);
    const auto header = share(wire::make_message(wire::kTagReplayHeader, recording.header()));
    for (std::size_t i = 0; i < count; ++i) {
        auto kept = store.begin({"Heat " + std::to_string(i + 1), "BL1", "10.0.0.1", std::nullopt},
                                header, StoredBlocks{}, [](auto, std::size_t) {});
        kept->append(share(recording.block(0)));
        kept->finish();
    }
    ASSERT_TRUE(store.close());
}

std::optional<nlohmann::json> page(std::uint16_t http_port, const std::string& target) {
    const auto answer = http_get(http_port, target);
    if (!answer || answer->result_int() != 200) return std::nullopt;
    return nlohmann::json::parse(answer->body());
}

class ArchivePages : public ::testing::Test {
  protected:
    void SetUp() override {
        fill_catalogue(folder_.path() / "data", kRecordings);
        RelayOptions options = test_options();
        options.data_dir = folder_.path() / "data";
        relay_ = std::make_unique<RunningRelay>(options);
    }
    TempFolder folder_;
    std::unique_ptr<RunningRelay> relay_;
};

TEST_F(ArchivePages, PagesGiveEveryRecordingOnceNewestFirstAndSayWhereTheNextPageIs) {
    const auto first = page(relay_->http_port(), "/archive.json");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at("recordings").size(), 100u);  // the default, and the most, per page
    EXPECT_EQ(first->at("recordings").at(0).at("name"), "Heat 300");
    EXPECT_EQ(first->at("next_before"), first->at("recordings").at(99).at("id"));

    std::set<std::uint64_t> seen;
    std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    std::string target = "/archive.json?limit=37";
    std::size_t pages = 0;
    while (true) {
        const auto each = page(relay_->http_port(), target);
        ASSERT_TRUE(each) << target;
        const auto& rows = each->at("recordings");
        ASSERT_LE(rows.size(), 37u);
        for (const auto& row : rows) {
            const std::uint64_t id = row.at("id");
            EXPECT_LT(id, last) << "newest first, never a recording twice";
            last = id;
            EXPECT_TRUE(seen.insert(id).second);
            EXPECT_EQ(row.at("bytes"), file_size(1));
        }
        ++pages;
        if (each->at("next_before").is_null()) break;
        ASSERT_EQ(each->at("next_before"), rows.back().at("id"));
        // A website's cache-buster is ignored.
        target = "/archive.json?t=17&before=" + std::to_string(each->at("next_before").get<int>()) +
                 "&limit=37";
        ASSERT_LT(pages, kRecordings);
    }
    EXPECT_EQ(seen.size(), kRecordings);
    EXPECT_EQ(pages, (kRecordings + 36) / 37);

    const auto oldest = page(relay_->http_port(), "/archive.json?before=3");
    ASSERT_TRUE(oldest);
    ASSERT_EQ(oldest->at("recordings").size(), 2u);
    EXPECT_EQ(oldest->at("recordings").at(1).at("name"), "Heat 1");
    EXPECT_TRUE(oldest->at("next_before").is_null());
    const auto none = page(relay_->http_port(), "/archive.json?before=1");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->at("recordings").empty());
}

TEST_F(ArchivePages, ParametersTheRelayCannotUseAre400) {
    for (const char* target :
         {"/archive.json?limit=0", "/archive.json?limit=101", "/archive.json?limit=ten",
          "/archive.json?limit=", "/archive.json?limit=-1", "/archive.json?limit=5&limit=6",
          "/archive.json?before=0", "/archive.json?before=x1", "/archive.json?before=1&before=2",
          "/archive.json?before=99999999999999999999999"}) {
        const auto answer = http_get(relay_->http_port(), target);
        ASSERT_TRUE(answer) << target;
        EXPECT_EQ(answer->result_int(), 400) << target;
        EXPECT_NE(answer->body().find("limit"), std::string::npos);
    }
    const auto healthy = http_get(relay_->http_port(), "/healthz");
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->result_int(), 200);
}

TEST_F(ArchivePages, HealthzAnswersPromptlyWhileClientsPageThroughTheArchive) {
    std::atomic<bool> done{false};
    std::atomic<std::size_t> pages{0};
    std::vector<std::thread> readers;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        readers.emplace_back([&, source] {
            HttpTestClient client(relay_->http_port(), source);
            while (!done) {
                const auto answer = client.get("/archive.json");
                if (!answer || answer->result_int() != 200) return;
                ++pages;
            }
        });
    }
    std::chrono::steady_clock::duration slowest{};
    std::size_t answered = 0;
    becomes([&] {
        const auto asked = std::chrono::steady_clock::now();
        const auto health = http_get(relay_->http_port(), "/healthz");
        slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
        if (health && health->result_int() == 200) ++answered;
        return answered >= 50 && pages >= 200;
    });
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_GE(answered, 50u);
    EXPECT_GE(pages.load(), 200u);
    // A page is bounded work: /healthz waits at most for a page or two, never the catalogue.
    EXPECT_LT(slowest, std::chrono::milliseconds(500))
        << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
    std::printf("%zu pages of 100 fetched; /healthz answered %zu times, slowest %.1f ms\n",
                pages.load(), answered, std::chrono::duration<double, std::milli>(slowest).count());
}

}  // namespace
}  // namespace kavro::relay::testing
