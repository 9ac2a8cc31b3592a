// The status page in a real browser: headless Chromium loads / from a running relay, lets the
// page's script fetch casts.json and draw, and the rendered DOM must show every cast with its
// watchers, with a name that looks like markup shown as text.
//
// With KAVRO_STATUS_SCREENSHOTS=FOLDER set, it also saves the page as it looks on a desktop and
// on a phone (relay-status.png, relay-status-phone.png), as in docs/relay-operations.md.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "polling.h"
#include "temp_folder.h"
#include "tests/relay/live_scene.h"
#include "tests/relay/running_relay.h"

namespace kavro::relay::testing {
namespace {

const char* chromium_program() {
    const char* chosen = std::getenv("KAVRO_CHROMIUM");
    return chosen != nullptr ? chosen : "/usr/bin/chromium";
}

// Runs the program with `arguments`, its standard output into `output`; false when it cannot
// start, fails, or is still running at the deadline (it is then killed).
bool run(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        std::FILE* out = std::freopen(output.c_str(), "w", stdout);
        std::FILE* err = std::freopen("/dev/null", "w", stderr);  // Chromium is chatty
        if (out == nullptr || err == nullptr) ::_exit(126);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    const bool ended = test::wait_until([&] { return ::waitpid(child, &status, WNOHANG) != 0; },
                                        std::chrono::minutes(2), std::chrono::milliseconds(50));
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> chromium(const std::filesystem::path& profile) {
    return {chromium_program(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--no-proxy-server", "--user-data-dir=" + profile.string(),
            // Enough virtual time for the first fetch of casts.json and one redraw after it.
            "--virtual-time-budget=5000"};
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The page at `url` as Chromium renders it, its script run; nothing when it did not render.
std::optional<std::string> rendered_dom(const std::string& url,
                                        const std::filesystem::path& folder) {
    auto arguments = chromium(folder / "profile");
    arguments.push_back("--dump-dom");
    arguments.push_back(url);
    const auto dom_file = folder / "dom.html";
    if (!run(arguments, dom_file)) return std::nullopt;
    return read_text(dom_file);
}

// The cast rows of the rendered page: for each, its cells' texts by class.
std::vector<std::map<std::string, std::string>> cast_rows(const std::string& dom) {
    static const std::regex row(R"(<tr class="cast[^"]*">([\s\S]*?)</tr>)");
    static const std::regex cell(R"re(<td class="([a-z-]+)[^"]*"[^>]*>([^<]*)</td>)re");
    std::vector<std::map<std::string, std::string>> rows;
    for (auto r = std::sregex_iterator(dom.begin(), dom.end(), row); r != std::sregex_iterator();
         ++r) {
        std::map<std::string, std::string> cells;
        const std::string inside = (*r)[1];
        for (auto c = std::sregex_iterator(inside.begin(), inside.end(), cell);
             c != std::sregex_iterator(); ++c) {
            cells[(*c)[1]] = (*c)[2];
        }
        rows.push_back(cells);
    }
    return rows;
}

std::string element_text(const std::string& dom, const std::string& id) {
    const std::regex element("id=\"" + id + "\">([^<]*)<");
    std::smatch match;
    return std::regex_search(dom, match, element) ? std::string(match[1]) : "";
}

TEST(StatusPageInBrowser, ShowsEveryCastWithItsWatchersAndMarkupInNamesAsText) {
    RunningRelay relay;
    LiveScene scene(relay);
    ASSERT_TRUE(scene.settled());
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.http_port()) + "/";

    test::TempFolder folder;
    const auto dom = rendered_dom(url, folder.path());
    ASSERT_TRUE(dom) << chromium_program() << " did not render " << url;

    const auto rows = cast_rows(*dom);
    ASSERT_EQ(rows.size(), 3u) << *dom;
    EXPECT_EQ(rows[0].at("name"), "Club race");
    EXPECT_EQ(rows[0].at("watchers"), "2");
    EXPECT_EQ(rows[0].at("track"), "BL1");
    EXPECT_EQ(rows[0].at("caster"), "connected");
    EXPECT_EQ(rows[0].at("replay"), "28.0 KiB");
    // The name arrives as the text "<b>x</b>": escaped in the DOM, never a <b> element.
    EXPECT_EQ(rows[1].at("name"), "&lt;b&gt;x&lt;/b&gt;");
    EXPECT_EQ(rows[1].at("watchers"), "1");
    EXPECT_EQ(dom->find("<b>x</b>"), std::string::npos);
    EXPECT_EQ(rows[2].at("name"), "Gone");
    EXPECT_EQ(rows[2].at("watchers"), "0");
    EXPECT_TRUE(rows[2].at("caster").starts_with("away, ")) << rows[2].at("caster");

    EXPECT_EQ(element_text(*dom, "total-casts"), "3");
    EXPECT_EQ(element_text(*dom, "total-watchers"), "3");
    EXPECT_EQ(element_text(*dom, "total-connections"), "5");
    EXPECT_TRUE(element_text(*dom, "relay").starts_with("Version 0.0.2.0, up "));
    EXPECT_EQ(dom->find("127.0.0.1"), std::string::npos);

    if (const char* shots = std::getenv("KAVRO_STATUS_SCREENSHOTS")) {
        for (const auto& [file, size] : {std::pair{"relay-status.png", "1000,520"},
                                         std::pair{"relay-status-phone.png", "400,860"}}) {
            const auto target = std::filesystem::absolute(shots) / file;
            auto shot = chromium(folder.path() / "profile");
            shot.push_back("--hide-scrollbars");
            shot.push_back(std::string("--window-size=") + size);
            shot.push_back("--screenshot=" + target.string());
            shot.push_back(url);
            EXPECT_TRUE(run(shot, folder.path() / "screenshot.out"));
            EXPECT_TRUE(std::filesystem::exists(target)) << target;
        }
    }
}

// The rows of the "Recent races" table: each row's cells by class, and its download link.
struct RaceRow {
    std::map<std::string, std::string> cells;
    std::string link;
};

std::vector<RaceRow> race_rows(const std::string& dom) {
    static const std::regex row(R"(<tr class="race [^"]*">([\s\S]*?)</tr>)");
    static const std::regex cell(R"re(<td class="([a-z-]+)[^"]*"[^>]*>([^<]*)</td>)re");
    static const std::regex link(R"re(<a href="([^"]*)" download="">Download</a>)re");
    std::vector<RaceRow> rows;
    for (auto r = std::sregex_iterator(dom.begin(), dom.end(), row); r != std::sregex_iterator();
         ++r) {
        RaceRow race;
        const std::string inside = (*r)[1];
        for (auto c = std::sregex_iterator(inside.begin(), inside.end(), cell);
             c != std::sregex_iterator(); ++c) {
            race.cells[(*c)[1]] = (*c)[2];
        }
        std::smatch found;
        if (std::regex_search(inside, found, link)) race.link = found[1];
        rows.push_back(race);
    }
    return rows;
}

TEST(StatusPageInBrowser, RecentRacesListTheArchiveWithDownloadLinks) {
    test::TempFolder folder;
    RelayOptions options = test_options();
    options.data_dir = folder.path() / "data";
    options.resume_grace = std::chrono::milliseconds(200);
    RunningRelay relay(options);
    {
        const Recording recording(51);
        TestClient caster(relay.port());
        ASSERT_TRUE(caster.cast("<i>Final</i>", "SO1"));
        ASSERT_TRUE(caster.send(recording.header_upload()));
        for (std::size_t i = 0; i < 8; ++i)
            ASSERT_TRUE(caster.send(block_upload(recording.block(i))));
        ASSERT_TRUE(relay.logged({"cast <i>Final</i> started a new recording"}));
    }
    ASSERT_TRUE(relay.logged({"cast <i>Final</i> ended"}));
    TestClient live(relay.port());
    ASSERT_TRUE(live.cast("Heat 2", "BL1"));
    ASSERT_TRUE(live.send(Recording(52).header_upload()));
    ASSERT_TRUE(relay.logged({"cast Heat 2 started a new recording"}));

    const std::string url = "http://127.0.0.1:" + std::to_string(relay.http_port()) + "/";
    const auto dom = rendered_dom(url, folder.path());
    ASSERT_TRUE(dom) << chromium_program() << " did not render " << url;

    const auto races = race_rows(*dom);
    ASSERT_EQ(races.size(), 2u) << *dom;
    EXPECT_EQ(races[0].cells.at("name"), "Heat 2");  // newest first
    EXPECT_EQ(races[0].cells.at("length"), "live");
    EXPECT_EQ(races[0].link, "replays/2.mpr");
    EXPECT_EQ(races[1].cells.at("name"), "&lt;i&gt;Final&lt;/i&gt;");
    EXPECT_EQ(races[1].cells.at("track"), "SO1");
    EXPECT_EQ(races[1].cells.at("state"), "finished");
    EXPECT_EQ(races[1].cells.at("size"), "48.0 KiB");
    EXPECT_EQ(races[1].link, "replays/1.mpr");
    EXPECT_EQ(dom->find("<i>Final</i>"), std::string::npos);
    EXPECT_EQ(dom->find("127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace kavro::relay::testing
