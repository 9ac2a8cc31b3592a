// A relay with casts in every state the HTTP side shows: "Club race" (a header and three
// blocks, two watchers), "<b>x</b>" (a header, one watcher) and "Gone", whose caster has left
// and which waits for a resume.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include "tests/relay/running_relay.h"
#include "tests/relay/test_client.h"

namespace kavro::relay::testing {

// /casts.json parsed; nothing when it cannot be fetched or parsed.
std::optional<nlohmann::json> fetch_casts_json(std::uint16_t http_port);
// Fetches /casts.json until `check` holds for it, within the deadline.
bool casts_json_becomes(std::uint16_t http_port,
                        const std::function<bool(const nlohmann::json&)>& check);
// The entry of the cast named `name` in a casts.json document, or null.
nlohmann::json cast_named(const nlohmann::json& document, const std::string& name);

class LiveScene {
  public:
    explicit LiveScene(RunningRelay& relay);
    // True once casts.json shows every cast and watcher of the scene.
    bool settled();

    static constexpr std::size_t kClubRaceBlocks = 3;

  private:
    RunningRelay& relay_;
    Recording recording_{7};
    TestClient club_caster_;
    TestClient club_watcher_1_;
    TestClient club_watcher_2_;
    TestClient bold_caster_;
    TestClient bold_watcher_;
};

}  // namespace kavro::relay::testing
