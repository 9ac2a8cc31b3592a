#include "tests/relay/live_scene.h"

#include <gtest/gtest.h>

#include <thread>

#include "polling.h"
#include "tests/relay/http_test_client.h"

namespace kavro::relay::testing {

std::optional<nlohmann::json> fetch_casts_json(std::uint16_t http_port) {
    const auto answer = http_get(http_port, "/casts.json");
    if (!answer || answer->result_int() != 200) return std::nullopt;
    const auto document = nlohmann::json::parse(answer->body(), nullptr, false);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

bool casts_json_becomes(std::uint16_t http_port,
                        const std::function<bool(const nlohmann::json&)>& check) {
    return test::wait_until(
        [&] {
            const auto document = fetch_casts_json(http_port);
            return document && check(*document);
        },
        kDeadline, 20ms);
}

nlohmann::json cast_named(const nlohmann::json& document, const std::string& name) {
    for (const auto& cast : document.at("casts")) {
        if (cast.at("name") == name) return cast;
    }
    return nullptr;
}

LiveScene::LiveScene(RunningRelay& relay)
    : relay_(relay),
      club_caster_(relay.port()),
      club_watcher_1_(relay.port()),
      club_watcher_2_(relay.port()),
      bold_caster_(relay.port()),
      bold_watcher_(relay.port()) {
    EXPECT_TRUE(club_caster_.cast("Club race", "BL1"));
    EXPECT_TRUE(club_caster_.send(recording_.header_upload()));
    for (std::size_t i = 0; i < kClubRaceBlocks; ++i) {
        EXPECT_TRUE(club_caster_.send(block_upload(recording_.block(i))));
    }
    EXPECT_TRUE(club_watcher_1_.watch("Club race"));
    EXPECT_TRUE(club_watcher_2_.watch("Club race"));
    EXPECT_TRUE(bold_caster_.cast("<b>x</b>", "FE2"));
    EXPECT_TRUE(bold_caster_.send(recording_.header_upload()));
    EXPECT_TRUE(bold_watcher_.watch("<b>x</b>"));
    TestClient gone(relay.port());
    EXPECT_TRUE(gone.cast("Gone", "AS3"));
    gone.close();
}

bool LiveScene::settled() {
    return relay_.logged({"caster of Gone left"}) &&
           casts_json_becomes(relay_.http_port(), [](const nlohmann::json& document) {
               const auto club = cast_named(document, "Club race");
               const auto bold = cast_named(document, "<b>x</b>");
               return document.at("casts").size() == 3 && !club.is_null() &&
                      club.at("watchers") == 2 && !bold.is_null() && bold.at("watchers") == 1 &&
                      club.at("replay_bytes") == 16384 + kClubRaceBlocks * 4096 &&
                      bold.at("replay_bytes") == 16384;
           });
}

}  // namespace kavro::relay::testing
