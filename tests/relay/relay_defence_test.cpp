// What an operator defends a public relay with, each tried by clients at distinct loopback
// addresses standing for distinct people: limits per address, cast keys and reserved names,
// names that would pass for another, the admin API and its bans, bounded kernel buffers for
// readers that never read, refused connections that are let go at once, and floods that write
// a few log lines instead of one per message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/relay/exposition.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

namespace http = boost::beast::http;

// The limits per address as a relay gets them by default, on a test relay.
RelayOptions defended_options() {
    RelayOptions options = test_options();
    const RelayOptions defaults;
    options.casts_per_address = defaults.casts_per_address;
    options.watchers_per_address = defaults.watchers_per_address;
    return options;
}

bool refused_name(TestClient& caster, std::string_view name) {
    if (!caster.send(hello_message(wire::kModeCast, name))) return false;
    const auto answer = caster.read_skipping_keepalives();
    return answer && answer->whole == Bytes(wire::kAckRefused.begin(), wire::kAckRefused.end());
}

// The names in the list a fresh watcher at `source` gets.
std::vector<std::string> listed(std::uint16_t port, const char* source) {
    TestClient watcher(port, 0, source);
    std::vector<std::string> names;
    if (!watcher.send(hello_message(wire::kModeWatch))) return names;
    const auto ack = watcher.read_skipping_keepalives();
    const auto list = watcher.read_skipping_keepalives();
    if (!ack || !list || list->tag != wire::kTagCasterList) return names;
    for (std::size_t i = 0; i < wire::caster_entry_count(list->payload()); ++i) {
        names.push_back(wire::read_caster_entry(list->payload(), i).name);
    }
    return names;
}

// A fresh connection from `source` registers `name`: true when it is refused, with ACK0NO or
// (for a reserved name without its key) ERR.
bool refused_anew(std::uint16_t port, const std::string& source, std::string_view name) {
    TestClient caster(port, 0, source.c_str());
    if (!caster.send(hello_message(wire::kModeCast, name))) return false;
    const auto answer = caster.read_skipping_keepalives();
    return answer && (answer->whole == Bytes(wire::kAckRefused.begin(), wire::kAckRefused.end()) ||
                      answer->tag == "ERR");
}

std::string error_of(TestClient& client) {
    const auto message = client.read_skipping_keepalives();
    return message && message->tag == "ERR" ? message->text() : "(no ERR)";
}

double metric(std::uint16_t http_port, const std::string& sample) {
    const auto answer = http_get(http_port, "/metrics");
    const auto value = answer ? parse_exposition(answer->body()).value(sample) : std::nullopt;
    return value ? *value : -1;
}

TEST(RelayDefence, OneAddressHoldsTwoCastsAndItsShareOfWatchersWhileOthersStillCast) {
    RelayOptions options = defended_options();
    options.watchers_per_address = 3;
    options.idle_timeout = 3s;  // a cast with no header ends after this
    RunningRelay relay(options);
    const Recording recording(7);

    TestClient first(relay.port(), 0, "127.0.0.2"), second(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(first.cast("first"));
    ASSERT_TRUE(first.send(recording.header_upload()));
    ASSERT_TRUE(second.cast("second"));
    ASSERT_TRUE(second.send(recording.header_upload()));
    TestClient third(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(third.send(hello_message(wire::kModeCast, "third")));
    EXPECT_EQ(error_of(third), "Too many casts from your address.");
    EXPECT_TRUE(third.closed_by_relay());
    TestClient elsewhere(relay.port(), 0, "127.0.0.3");
    EXPECT_TRUE(elsewhere.cast("elsewhere"));

    std::vector<std::unique_ptr<TestClient>> watchers;
    for (int i = 0; i < 3; ++i) {
        watchers.push_back(std::make_unique<TestClient>(relay.port(), 0, "127.0.0.4"));
        ASSERT_TRUE(watchers.back()->watch("first"));
        const auto header = watchers.back()->read_skipping_keepalives();
        ASSERT_TRUE(header && header->tag == "SRH") << "watcher " << i;
    }
    TestClient one_too_many(relay.port(), 0, "127.0.0.4");
    ASSERT_TRUE(one_too_many.watch("first"));
    EXPECT_EQ(error_of(one_too_many), "Too many watchers from your address.");
    TestClient other_watcher(relay.port(), 0, "127.0.0.5");
    ASSERT_TRUE(other_watcher.watch("first"));
    const auto header = other_watcher.read_skipping_keepalives();
    EXPECT_TRUE(header && header->tag == "SRH");
    EXPECT_EQ(metric(relay.http_port(), "kavro_relay_refusals_total{reason=\"casts_per_address\"}"),
              1);
    EXPECT_EQ(
        metric(relay.http_port(), "kavro_relay_refusals_total{reason=\"watchers_per_address\"}"),
        1);
    // A watcher that leaves gives its place back.
    watchers.pop_back();
    EXPECT_TRUE(becomes([&] {
        TestClient again(relay.port(), 0, "127.0.0.4");
        if (!again.watch("second")) return false;
        const auto reply = again.read_skipping_keepalives(2s);
        return reply && reply->tag == "SRH";
    }));

    // "elsewhere" never sent a header: it ends after the idle time-out and leaves the list.
    EXPECT_EQ(error_of(elsewhere), "No replay header arrived in time.");
    EXPECT_TRUE(becomes([&] {
        const auto names = listed(relay.port(), "127.0.0.6");
        return std::find(names.begin(), names.end(), "elsewhere") == names.end() &&
               names.size() == 2;
    }));
}

TEST(RelayDefence, LeagueNeedsItsKeyIsListedWithoutItAndLookAlikesAreRefused) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-reserved-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::create_directories(folder);
    const auto file = folder / "reserved.txt";
    std::ofstream(file) << "# league nights\ns3cret League\n";
    RelayOptions options = defended_options();
    options.reserved_names_file = file;
    options.resume_grace = 60s;
    RunningRelay relay(options);
    const Recording recording(11);

    // Without its key, or with another, the name is refused and the connection closed.
    TestClient keyless(relay.port(), 0, "127.0.0.12");
    ASSERT_TRUE(keyless.send(hello_message(wire::kModeCast, "League")));
    EXPECT_EQ(error_of(keyless), "This name is reserved and needs its key.");
    EXPECT_TRUE(keyless.closed_by_relay());
    TestClient wrong(relay.port(), 0, "127.0.0.13");
    ASSERT_TRUE(wrong.send(hello_message(wire::kModeCast, "League#wrong")));
    EXPECT_EQ(error_of(wrong), "This name is reserved and needs its key.");
    auto owner = std::make_unique<TestClient>(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(owner->cast("League#s3cret", "BL1"));
    ASSERT_TRUE(owner->send(recording.header_upload()));
    ASSERT_TRUE(owner->send(block_upload(recording.block(0))));

    TestClient watcher(relay.port(), 0, "127.0.0.3");
    ASSERT_TRUE(watcher.watch("League"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, wire::kReplayHeaderSize + wire::kBlockSize));
    EXPECT_EQ(listed(relay.port(), "127.0.0.4"), std::vector<std::string>{"League"});
    const auto feed = http_get(relay.http_port(), "/casts.json");
    ASSERT_TRUE(feed);
    EXPECT_EQ(nlohmann::json::parse(feed->body()).at("casts").at(0).at("name"), "League");

    // Whoever would pass for it is refused, with or without a key of their own.
    int source = 20;
    for (const char* look_alike :
         {"league", "LEAGUE", "League ", " League", "League\xA0", "Lea\x7Fgue", "league#mine"}) {
        EXPECT_TRUE(refused_anew(relay.port(), "127.0.0." + std::to_string(source++), look_alike))
            << look_alike;
    }
    TestClient squatter(relay.port(), 0, "127.0.0.5");
    ASSERT_TRUE(squatter.cast("Club  night"));
    TestClient copycat(relay.port(), 0, "127.0.0.6");
    EXPECT_TRUE(refused_name(copycat, "club night"));
    EXPECT_TRUE(refused_name(copycat, "Club night"));
    // A key of the caster's own choosing works the same way for a name nobody reserved.
    TestClient cup(relay.port(), 0, "127.0.0.8");
    ASSERT_TRUE(cup.cast("Cup#k1"));
    TestClient cup_again(relay.port(), 0, "127.0.0.8");
    EXPECT_TRUE(refused_name(cup_again, "Cup"));  // the same address, without the key
    ASSERT_TRUE(cup_again.send(hello_message(wire::kModeCast, "Cup#k2")));
    EXPECT_EQ(error_of(cup_again), "Wrong key for this cast.");  // and closed: no second guess
    EXPECT_TRUE(cup_again.closed_by_relay());
    // With the key, from anywhere, even while the old connection still looks alive.
    TestClient cup_elsewhere(relay.port(), 0, "127.0.0.9");
    ASSERT_TRUE(cup_elsewhere.cast("Cup#k1"));
    EXPECT_EQ(error_of(cup), "This cast was taken over by a new connection.");

    // The key, not the address, owns a keyed cast: the owner comes back from another address
    // and the watcher's stream goes on with no second header; the old address without the key
    // does not get it.
    owner.reset();
    ASSERT_TRUE(relay.logged({"caster of League left"}));
    EXPECT_TRUE(refused_anew(relay.port(), "127.0.0.2", "League"));
    TestClient moved(relay.port(), 0, "127.0.0.7");
    ASSERT_TRUE(moved.cast("League#s3cret"));
    ASSERT_TRUE(moved.send(block_upload(recording.block(1))));
    ASSERT_TRUE(reader.read_until(watcher, wire::kReplayHeaderSize + 2 * wire::kBlockSize));
    EXPECT_EQ(reader.file(), recording.file(2));
    EXPECT_EQ(reader.headers_seen, 1);

    // A cast without a key keeps to its address.
    squatter.close();
    ASSERT_TRUE(relay.logged({"caster of Club  night left"}));
    EXPECT_TRUE(refused_name(copycat, "Club  night"));
    TestClient back(relay.port(), 0, "127.0.0.5");
    EXPECT_TRUE(back.cast("Club  night"));

    for (const std::string& line : relay.lines()) {
        EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    }
    EXPECT_TRUE(relay.logged({"refused for 127.0.0.2", "reserved"}));
    EXPECT_TRUE(relay.logged({"refused for 127.0.0.6", "looks like the live cast Club  night"}));
    EXPECT_TRUE(
        relay.logged({"refused for 127.0.0.8", "the cast has a key and none came with it"}));
    EXPECT_TRUE(relay.logged({"refused for 127.0.0.8", "the key given is not the cast's",
                              "its address waits 1 s before its next key"}));
    EXPECT_TRUE(relay.logged({"cast Cup taken over by 127.0.0.9"}));
    const Exposition scraped = parse_exposition(http_get(relay.http_port(), "/metrics")->body());
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"look_alike_name\"}"), 2);
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"wrong_key\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_key_attempts_refused_total"), 7);
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"reserved_name\"}"), 6);
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"bad_cast_name\"}"), 4);

    // A league's private relay takes only its reserved names.
    options.reserved_only = true;
    RunningRelay private_relay(options);
    TestClient guest(private_relay.port(), 0, "127.0.0.8");
    EXPECT_TRUE(refused_name(guest, "Anything"));
    EXPECT_TRUE(guest.cast("League#s3cret"));
    std::filesystem::remove_all(folder);
}

TEST(RelayDefence, AdminApiAnswers401WithoutItsTokenThenEndsCastsAndBansAddresses) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-admin-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::remove_all(folder);
    RelayOptions options = defended_options();
    options.admin_token = "t0ken-for-tests";
    options.data_dir = folder;
    auto relay = std::make_unique<RunningRelay>(options);
    const Recording recording(13);
    TestClient caster(relay->port(), 0, "127.0.0.2");
    ASSERT_TRUE(caster.cast("Race"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(caster.send(block_upload(recording.block(i))));
    TestClient watcher(relay->port(), 0, "127.0.0.3");
    ASSERT_TRUE(watcher.watch("Race"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, wire::kReplayHeaderSize));
    TestClient pest(relay->port(), 0, "127.0.0.4");
    ASSERT_TRUE(pest.send(hello_message(wire::kModeWatch)));

    // The admin API is never served on the public HTTP port, token or not.
    ASSERT_NE(relay->admin_port(), 0);
    ASSERT_NE(relay->admin_port(), relay->http_port());
    {
        HttpTestClient public_side(relay->http_port());
        public_side.set_bearer("t0ken-for-tests");
        for (const char* path : {"/admin/connections", "/admin/bans"}) {
            const auto answer = public_side.get(path);
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->result_int(), 404) << path;
        }
        const auto ban = public_side.request(http::verb::post, "/admin/ban?address=127.0.0.3");
        ASSERT_TRUE(ban);
        EXPECT_EQ(ban->result_int(), 404);
    }
    HttpTestClient stranger(relay->admin_port());
    for (const char* token : {"", "t0ken-for-test", "t0ken-for-tests!"}) {
        stranger.set_bearer(token);
        const auto denied = stranger.request(http::verb::post, "/admin/ban?address=127.0.0.3");
        ASSERT_TRUE(denied);
        EXPECT_EQ(denied->result_int(), 401) << token;
    }
    {
        RelayOptions without = test_options();
        RunningRelay plain(without);
        EXPECT_EQ(plain.admin_port(), 0);  // no token: no admin listener
        HttpTestClient client(plain.http_port());
        client.set_bearer("t0ken-for-tests");
        const auto off = client.request(http::verb::post, "/admin/ban?address=127.0.0.3");
        ASSERT_TRUE(off);
        EXPECT_EQ(off->result_int(), 404);
    }

    HttpTestClient admin(relay->admin_port());
    admin.set_bearer("t0ken-for-tests");
    EXPECT_TRUE(becomes([&] {
        const auto answer = admin.get("/admin/connections");
        if (!answer || answer->result_int() != 200) return false;
        bool caster_seen = false, watcher_seen = false;
        const auto document = nlohmann::json::parse(answer->body());
        for (const auto& each : document.at("connections")) {
            const std::string address = each.at("address");
            caster_seen |= address == caster.local_address() && each.at("role") == "caster" &&
                           each.at("cast") == "Race" &&
                           each.at("bytes_received").get<std::size_t>() > 16390;
            watcher_seen |= address == watcher.local_address() && each.at("role") == "watcher" &&
                            each.at("bytes_sent").get<std::size_t>() > 16384;
        }
        return caster_seen && watcher_seen;
    }));

    const auto ended = admin.request(http::verb::post, "/admin/end-cast?name=Race");
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->result_int(), 200) << ended->body();
    EXPECT_EQ(error_of(caster), "The relay's operator ended this cast.");
    // The watcher gets everything stored, then the relay closes its connection.
    ASSERT_TRUE(reader.read_until(watcher, wire::kReplayHeaderSize + 3 * wire::kBlockSize));
    EXPECT_EQ(reader.file(), recording.file(3));
    EXPECT_TRUE(watcher.closed_by_relay());
    const auto feed = http_get(relay->http_port(), "/casts.json");
    ASSERT_TRUE(feed);
    EXPECT_TRUE(nlohmann::json::parse(feed->body()).at("casts").empty());

    const auto banned = admin.request(http::verb::post, "/admin/ban?address=127.0.0.4&seconds=600");
    ASSERT_TRUE(banned);
    EXPECT_EQ(banned->result_int(), 200) << banned->body();
    EXPECT_TRUE(becomes([&] {
        const auto message = pest.read_skipping_keepalives(100ms);
        return message && message->tag == "ERR" &&
               message->text() == "This relay does not accept your address.";
    }));
    EXPECT_TRUE(pest.closed_by_relay());
    TestClient again(relay->port(), 0, "127.0.0.4");
    EXPECT_EQ(error_of(again), "This relay does not accept your address.");
    TestClient neighbour(relay->port(), 0, "127.0.0.5");  // another address is served
    EXPECT_TRUE(neighbour.cast("Next door"));
    const auto bans = admin.get("/admin/bans");
    ASSERT_TRUE(bans);
    EXPECT_EQ(nlohmann::json::parse(bans->body()).at("bans").at(0).at("network"), "127.0.0.4/32");
    EXPECT_EQ(admin.get("/metrics")->result_int(), 404);  // the admin port serves the API alone
    const auto metrics = http_get(relay->http_port(), "/metrics");
    ASSERT_TRUE(metrics);
    const Exposition scraped = parse_exposition(metrics->body());
    EXPECT_EQ(scraped.value("kavro_relay_admin_actions_total{action=\"end_cast\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_admin_actions_total{action=\"ban\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_admin_denied_total"), 3);
    EXPECT_EQ(scraped.value("kavro_relay_bans"), 1);
    EXPECT_GE(scraped.value("kavro_relay_refusals_total{reason=\"banned\"}"), 1);
    EXPECT_TRUE(relay->logged({"ended by the operator", "Race"}));
    EXPECT_TRUE(relay->logged({"admin request from 127.0.0.1", "banned 127.0.0.4/32 for 600 s"}));

    // The ban outlives the relay: it is kept in the data folder.
    relay.reset();
    relay = std::make_unique<RunningRelay>(options);
    TestClient after_restart(relay->port(), 0, "127.0.0.4");
    EXPECT_EQ(error_of(after_restart), "This relay does not accept your address.");
    HttpTestClient admin_again(relay->admin_port());
    admin_again.set_bearer("t0ken-for-tests");
    const auto lifted = admin_again.request(http::verb::post, "/admin/unban?address=127.0.0.4");
    ASSERT_TRUE(lifted);
    EXPECT_EQ(lifted->result_int(), 200) << lifted->body();
    TestClient welcome(relay->port(), 0, "127.0.0.4");
    EXPECT_TRUE(welcome.cast("Back"));
    std::filesystem::remove_all(folder);
}

// The bytes queued in the kernel for the sockets on `ports` (Send-Q, as `ss` shows it).
std::size_t send_queue_bytes(std::initializer_list<std::uint16_t> ports) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column names
    std::size_t total = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto port =
            static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) continue;
        total += std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
    }
    return total;
}

TEST(RelayDefence, ReadersThatNeverReadHoldLittleOfTheRelaysKernelMemory) {
    constexpr std::size_t kBlocks = 16u * 1024 * 1024 / wire::kBlockSize;
    RelayOptions options = defended_options();
    options.max_replay_bytes = 20u * 1024 * 1024;
    options.watchers_per_address = 20;
    RunningRelay relay(options);
    const Recording recording(17);
    TestClient caster(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(caster.cast("Big"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    std::vector<std::unique_ptr<TestClient>> stalled;
    for (int i = 0; i < 20; ++i) {
        stalled.push_back(std::make_unique<TestClient>(relay.port(), 0, "127.0.0.3"));
        ASSERT_TRUE(stalled.back()->watch("Big"));
    }
    for (std::size_t i = 0; i < kBlocks; ++i) {
        ASSERT_TRUE(caster.send(block_upload(recording.block(i))));
    }
    // Fifty HTTP connections from seven addresses, each asking for the metrics over and over
    // and never reading an answer.
    std::string requests;
    for (int i = 0; i < 200; ++i) requests += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<std::unique_ptr<HttpTestClient>> pipeliners;
    for (int i = 0; i < 50; ++i) {
        const std::string source = "127.0.1." + std::to_string(1 + i / 8);
        pipeliners.push_back(std::make_unique<HttpTestClient>(relay.http_port(), source.c_str()));
        ASSERT_TRUE(pipeliners.back()->send_raw(requests));
    }
    ASSERT_TRUE(becomes([&] {
        const auto feed = http_get(relay.http_port(), "/casts.json");
        return feed && nlohmann::json::parse(feed->body()).at("casts").at(0).at("replay_bytes") ==
                           wire::kReplayHeaderSize + kBlocks * wire::kBlockSize;
    }));
    std::size_t most = 0;
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 20; ++i) {
        most = std::max(most, send_queue_bytes({relay.port(), relay.http_port()}));
        const auto asked = std::chrono::steady_clock::now();
        const auto health = http_get(relay.http_port(), "/healthz");
        slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
        ASSERT_TRUE(health);
        EXPECT_EQ(health->result_int(), 200);
    }
    // Figures for the record; the bound checked is the memory, not the time.
    std::printf("most Send-Q seen: %zu KiB; slowest /healthz: %.1f ms\n", most / 1024,
                std::chrono::duration<double, std::milli>(slowest).count());
    EXPECT_LT(most, 16u * 1024 * 1024);
}

TEST(RelayDefence, RefusedConnectionsGoAtOnceAndFloodsWriteFewLogLines) {
    RelayOptions options = defended_options();
    options.connections_per_address = 2;
    options.stall_timeout = 1s;
    RunningRelay relay(options);
    // Both places of the address taken, and known to be taken, before the flood.
    TestClient first(relay.port(), 0, "127.0.0.2"), second(relay.port(), 0, "127.0.0.2");
    for (TestClient* client : {&first, &second}) {
        ASSERT_TRUE(client->send(hello_message(wire::kModeWatch)));
        const auto ack = client->read_skipping_keepalives();
        ASSERT_TRUE(ack && ack->tag == "ACK");
    }
    constexpr int kRefused = 200;
    std::vector<std::unique_ptr<TestClient>> refused;
    for (int i = 0; i < kRefused; ++i) {
        refused.push_back(std::make_unique<TestClient>(relay.port(), 0, "127.0.0.2"));
    }
    for (auto& client : refused) {
        EXPECT_EQ(error_of(*client), "Too many connections from your address.");
    }
    // Closed outright, not left half-open for the client to close: well inside the 5 s a
    // closing connection is otherwise given.
    EXPECT_TRUE(refused.back()->reset_by_relay(3s));
    EXPECT_EQ(metric(relay.http_port(), "kavro_relay_refusals_total{reason=\"address_limit\"}"),
              kRefused);

    // Data blocks before any header: a few lines, which account for every block.
    constexpr int kBlocks = 500;
    TestClient caster(relay.port(), 0, "127.0.0.3");
    ASSERT_TRUE(caster.cast("Early"));
    const Bytes block = block_upload(Recording(3).block(0));
    for (int i = 0; i < kBlocks; ++i) ASSERT_TRUE(caster.send(block));
    const std::string caster_address = caster.local_address();
    caster.close();
    ASSERT_TRUE(becomes([&] {
        for (const auto& line : relay.lines()) {
            if (line.find(caster_address + " closed") != std::string::npos) return true;
        }
        return false;
    }));
    std::size_t lines = 0, accounted = 0, refusal_lines = 0;
    const std::regex more("and ([0-9]+) more since the last one");
    const std::regex at_close(": ([0-9]+) more data blocks");
    for (const auto& line : relay.lines()) {
        std::smatch match;
        if (line.find("cast Early: dropped a data block") != std::string::npos) {
            ++lines;
            accounted += 1 + (std::regex_search(line, match, more) ? std::stoul(match[1]) : 0);
        } else if (std::regex_search(line, match, at_close)) {
            accounted += std::stoul(match[1]);
        }
        if (line.find("refused: Too many connections") != std::string::npos) ++refusal_lines;
    }
    EXPECT_EQ(accounted, static_cast<std::size_t>(kBlocks));
    EXPECT_LT(lines, 20u);
    EXPECT_LT(refusal_lines, 20u);

    // A watcher whose socket takes nothing for the stall time-out is closed.
    TestClient source(relay.port(), 0, "127.0.0.4");
    const Recording recording(5);
    ASSERT_TRUE(source.cast("Flow"));
    ASSERT_TRUE(source.send(recording.header_upload()));
    TestClient stuck(relay.port(), 4096, "127.0.0.5");
    ASSERT_TRUE(stuck.watch("Flow"));
    std::thread upload([&] {
        for (std::size_t i = 0; i < 400; ++i) {
            if (!source.send(block_upload(recording.block(i)))) return;
        }
    });
    EXPECT_TRUE(relay.logged({stuck.local_address(), "took nothing the relay wrote for 1 s"}));
    upload.join();
}

}  // namespace
}  // namespace kavro::relay::testing
