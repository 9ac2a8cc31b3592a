// The HTTP side's socket-free parts: client text as UTF-8, the JSON feed's fields, the metrics
// text, the throughput meter, the answer to each request, and the --http option.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "relay/base/relay_options.h"
#include "relay/http/byte_range.h"
#include "relay/http/casts_json.h"
#include "relay/http/client_text.h"
#include "relay/http/http_routes.h"
#include "relay/http/metrics_text.h"
#include "relay/transport/throughput_meter.h"
#include "tests/relay/exposition.h"

namespace kavro::relay {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;

StatusSnapshot status_with_casts() {
    StatusSnapshot status;
    status.version = "0.0.2.0";
    status.uptime = 3723s;
    status.accepting = true;
    status.relay_connections = 4;
    status.http_connections = 1;
    status.max_connections = 100;
    CastStatus connected;
    connected.name = "Caf\xe9 \"League\" \\ \x80";
    connected.track = "BL1";
    connected.watchers = 3;
    connected.packet_time_tenths = 5;
    connected.live_for = 90500ms;
    connected.replay_bytes = 16384 + 4096;
    connected.caster_connected = true;
    connected.recording_id = 17;
    CastStatus away;
    away.name = "Away";
    away.watchers = 1;
    away.grace_left = 1200ms;
    status.casts = {connected, away};
    status.counters.bytes_received = 1000;
    status.counters.count(Refusal::kNoSuchCast);
    status.cast_counters.started = 2;
    status.received_bytes_per_second = 2047.6;
    return status;
}

HttpRequest request(http::verb method, std::string_view target) {
    HttpRequest r{method, target, 11};
    r.set(http::field::host, "relay");
    return r;
}

TEST(ClientText, WindowsCodePageBytesBecomeTheirCharactersInUtf8) {
    EXPECT_EQ(utf8_from_client_text("Club race <b>"), "Club race <b>");
    EXPECT_EQ(utf8_from_client_text("Caf\xe9"), "Caf\xc3\xa9");  // é
    EXPECT_EQ(utf8_from_client_text("\x80"), "\xe2\x82\xac");    // €
    EXPECT_EQ(utf8_from_client_text("\x9f"), "\xc5\xb8");        // Ÿ
    EXPECT_EQ(utf8_from_client_text("\x81"), "\xc2\x81");        // a byte the code page skips
    EXPECT_EQ(utf8_from_client_text("\xff"), "\xc3\xbf");        // ÿ
}

TEST(CastsJson, HasItsDocumentedFieldsAndValidUtf8ForAnyName) {
    const auto document = nlohmann::ordered_json::parse(casts_json(status_with_casts()));
    std::vector<std::string> top;
    for (const auto& [key, value] : document.items()) top.push_back(key);
    EXPECT_EQ(top, (std::vector<std::string>{"version", "uptime_seconds", "accepting_connections",
                                             "connections", "http_connections", "watchers",
                                             "received_bytes_per_second", "sent_bytes_per_second",
                                             "casts"}));
    EXPECT_EQ(document.at("uptime_seconds"), 3723);
    EXPECT_EQ(document.at("watchers"), 4);
    EXPECT_EQ(document.at("received_bytes_per_second"), 2048);
    const auto& connected = document.at("casts").at(0);
    std::vector<std::string> fields;
    for (const auto& [key, value] : connected.items()) fields.push_back(key);
    EXPECT_EQ(fields, (std::vector<std::string>{"name", "track", "watchers", "packet_time_seconds",
                                                "live_seconds", "replay_bytes", "caster_connected",
                                                "resume_seconds_left", "replay_url"}));
    EXPECT_EQ(connected.at("replay_url"), "replays/17.mpr");
    EXPECT_EQ(connected.at("name"), "Caf\xc3\xa9 \"League\" \\ \xe2\x82\xac");
    EXPECT_DOUBLE_EQ(connected.at("packet_time_seconds").get<double>(), 0.5);
    EXPECT_EQ(connected.at("live_seconds"), 90);
    EXPECT_TRUE(connected.at("resume_seconds_left").is_null());
    const auto& away = document.at("casts").at(1);
    EXPECT_TRUE(away.at("packet_time_seconds").is_null());
    EXPECT_EQ(away.at("resume_seconds_left"), 2);  // rounded up: never 0 while still listed
    EXPECT_EQ(away.at("track"), "");
    EXPECT_TRUE(away.at("replay_url").is_null()) << "no data folder, no download";
}

TEST(MetricsText, LabelsAreEscapedAndTheTextParses) {
    EXPECT_EQ(metric_label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(metric_label_value("Caf\xe9"), "Caf\xc3\xa9");

    StatusSnapshot status = status_with_casts();
    status.store.enabled = true;
    status.store.bytes = 123456;
    status.store.syncs = 3;
    status.store.sync_seconds = 0.75;
    status.store.sync_buckets = {0, 1, 1, 1, 2, 2, 3, 3};
    const std::string text = metrics_text(status);
    const auto scraped = testing::parse_exposition(text);
    ASSERT_EQ(scraped.problem, "") << text;
    EXPECT_EQ(scraped.value("kavro_relay_cast_watchers{cast=\"Caf\xc3\xa9 \\\"League\\\" \\\\ "
                            "\xe2\x82\xac\"}"),
              3);
    EXPECT_EQ(scraped.value("kavro_relay_casts_awaiting_resume"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_store_bytes"), 123456);
    EXPECT_EQ(scraped.type_of("kavro_relay_store_sync_seconds"), "histogram");
    EXPECT_EQ(scraped.value("kavro_relay_store_sync_seconds_bucket{le=\"0.005\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_store_sync_seconds_bucket{le=\"+Inf\"}"), 3);
    EXPECT_EQ(scraped.value("kavro_relay_store_sync_seconds_count"), 3);
    EXPECT_EQ(scraped.value("kavro_relay_store_write_errors_total"), 0);
    EXPECT_EQ(scraped.value("kavro_relay_uptime_seconds"), 3723);
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"no_such_cast\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"relay_full\"}"), 0);
    EXPECT_EQ(scraped.type_of("kavro_relay_sent_bytes_total"), "counter");
    // Every refusal reason has its own sample, even at zero, so the family never changes shape.
    std::size_t refusal_samples = 0;
    for (const auto& [sample, value] : scraped.samples) {
        if (sample.starts_with("kavro_relay_refusals_total{")) ++refusal_samples;
    }
    EXPECT_EQ(refusal_samples, kRefusalKinds);

    // The reader the tests rely on refuses what the format forbids.
    EXPECT_NE(testing::parse_exposition("kavro_relay_x 1\n").problem, "");
    EXPECT_NE(testing::parse_exposition("# HELP a b\n# TYPE a gauge\nb 1\n").problem, "");
    EXPECT_NE(testing::parse_exposition("# HELP a b\n# TYPE a gauge\na{x=\"1} 1\n").problem, "");
    EXPECT_NE(testing::parse_exposition("# HELP a b\n# TYPE a gauge\na one\n").problem, "");
}

TEST(ThroughputMeter, RatesOverTheLastFiveSecondsOfSamples) {
    ThroughputMeter meter;
    const auto t0 = std::chrono::steady_clock::time_point{} + 100s;
    meter.sample(t0, 0, 0);
    EXPECT_EQ(meter.received_per_second(), 0);
    meter.sample(t0 + 500ms, 999999, 999999);  // under a second since the last: not kept
    meter.sample(t0 + 1s, 1000, 500);
    meter.sample(t0 + 2s, 3000, 1000);
    EXPECT_DOUBLE_EQ(meter.received_per_second(), 1500);
    EXPECT_DOUBLE_EQ(meter.sent_per_second(), 500);
    for (int s = 3; s <= 7; ++s) meter.sample(t0 + std::chrono::seconds(s), 3000, 1000);
    EXPECT_DOUBLE_EQ(meter.received_per_second(), 0);  // nothing moved in the last five
}

TEST(HttpRoutes, EachRequestGetsItsAnswer) {
    const StatusSnapshot status = status_with_casts();

    const auto page = answer(request(http::verb::get, "/"), status);
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");

    const auto head = answer(request(http::verb::head, "/casts.json"), status);
    const auto get = answer(request(http::verb::get, "/casts.json"), status);
    EXPECT_TRUE(head.body().empty());
    EXPECT_EQ(head[http::field::content_length], std::to_string(get.body().size()));
    EXPECT_EQ(head[http::field::access_control_allow_origin], "*");

    EXPECT_EQ(answer(request(http::verb::get, "/metrics?x=1"), status).result(), http::status::ok);
    EXPECT_EQ(answer(request(http::verb::get, "/healthz"), status).body(), "ok\n");
    StatusSnapshot full = status;
    full.accepting = false;
    EXPECT_EQ(answer(request(http::verb::get, "/healthz"), full).result(),
              http::status::service_unavailable);

    const auto post = answer(request(http::verb::post, "/"), status);
    EXPECT_EQ(post.result(), http::status::method_not_allowed);
    EXPECT_EQ(post[http::field::allow], "GET, HEAD");
    EXPECT_FALSE(needs_status(request(http::verb::post, "/metrics")));
    for (const auto* target : {"/index.html", "/casts.json/", "/metrics/x", "", "*"}) {
        EXPECT_EQ(answer(request(http::verb::get, target), status).result(),
                  http::status::not_found)
            << target;
        EXPECT_FALSE(needs_status(request(http::verb::get, target)));
    }

    auto closing = request(http::verb::get, "/");
    closing.keep_alive(false);
    EXPECT_FALSE(answer(closing, status).keep_alive());
    EXPECT_TRUE(answer(request(http::verb::get, "/"), status).keep_alive());
}

TEST(ReplayDownload, RangesFileNamesAndIdsAreReadSafely) {
    using Kind = ByteRange::Kind;
    const auto range = [](std::string_view header) { return parse_byte_range(header, 1000); };
    const auto is = [](ByteRange r, Kind kind, std::uint64_t first, std::uint64_t last) {
        return r.kind == kind && (kind != Kind::kPart || (r.first == first && r.last == last));
    };
    EXPECT_TRUE(is(range("bytes=0-499"), Kind::kPart, 0, 499));
    EXPECT_TRUE(is(range("bytes=500-"), Kind::kPart, 500, 999));
    EXPECT_TRUE(is(range("bytes=900-5000"), Kind::kPart, 900, 999));  // the end is cut
    EXPECT_TRUE(is(range("bytes=-100"), Kind::kPart, 900, 999));
    EXPECT_TRUE(is(range("bytes=-5000"), Kind::kPart, 0, 999));
    EXPECT_TRUE(is(range(" bytes= 10 - 20 "), Kind::kPart, 10, 20));
    EXPECT_TRUE(is(range("bytes=1000-"), Kind::kUnsatisfiable, 0, 0));
    EXPECT_TRUE(is(range("bytes=-0"), Kind::kUnsatisfiable, 0, 0));
    for (const char* whole : {"", "bytes=", "bytes=5-1", "bytes=0-1,5-6", "items=0-1", "bytes=a-b",
                              "bytes=-", "bytes=18446744073709551616-"}) {
        EXPECT_TRUE(is(range(whole), Kind::kWhole, 0, 0)) << whole;
    }
    // Nothing to name in an empty file: never a part whose end lies before its start.
    EXPECT_TRUE(is(parse_byte_range("bytes=-100", 0), Kind::kWhole, 0, 0));

    RecordingRow row;
    row.started = WallClock::time_point(std::chrono::seconds(1796788775));  // 2026-12-09
    const auto name = [&](std::string cast) {
        row.name = std::move(cast);
        return replay_file_name(row);
    };
    EXPECT_EQ(name("Sunday league R3"), "Sunday_league_R3-2026-12-09.mpr");
    EXPECT_EQ(name("../../etc/passwd"), "etcpasswd-2026-12-09.mpr");
    EXPECT_EQ(name("a\"b\r\nContent-Type: x"), "abContent-Type_x-2026-12-09.mpr");
    EXPECT_EQ(name("Caf\xe9  __ r\xe9sum\xe9."), "Caf_rsum-2026-12-09.mpr");
    EXPECT_EQ(name("\x80\x81 "), "race-2026-12-09.mpr");
    EXPECT_EQ(name(std::string(200, 'x')).size(), 60 + std::string("-2026-12-09.mpr").size());

    EXPECT_EQ(replay_id_of("/replays/17.mpr"), 17u);
    EXPECT_EQ(replay_id_of("/replays/17.mpr?t=1"), 17u);
    for (const char* target :
         {"/replays/0.mpr", "/replays/.mpr", "/replays/1x.mpr", "/replays/-1.mpr",
          "/replays/17.mpr/", "/replays/99999999999999999999.mpr", "/replays/../1.mpr"}) {
        EXPECT_FALSE(replay_id_of(target)) << target;
    }
    EXPECT_EQ(what_it_needs(request(http::verb::get, "/archive.json")), HttpNeed::kArchive);
    EXPECT_EQ(what_it_needs(request(http::verb::head, "/replays/3.mpr")), HttpNeed::kReplay);
    EXPECT_EQ(what_it_needs(request(http::verb::post, "/replays/3.mpr")), HttpNeed::kNothing);
}

TEST(RelayOptions, DataFolderByOptionStateDirectoryOrInTheWorkingDirectory) {
    RelayOptions made;
    EXPECT_FALSE(made.data_dir) << "a relay made in code keeps nothing on disk";
    ::unsetenv("STATE_DIRECTORY");
    RelayOptions options;
    const char* none[] = {"kavro-relay"};
    EXPECT_FALSE(parse_command_line(1, none, options).has_value());
    EXPECT_EQ(options.data_dir, std::filesystem::path("kavro-relay-data"));
    EXPECT_EQ(options.max_casts, 256u);
    EXPECT_EQ(options.keep_days, 30);
    EXPECT_EQ(options.keep_bytes, 20ull << 30);
    ::setenv("STATE_DIRECTORY", "/var/lib/kavro-relay:/var/lib/other", 1);
    EXPECT_FALSE(parse_command_line(1, none, options).has_value());
    EXPECT_EQ(options.data_dir, std::filesystem::path("/var/lib/kavro-relay"));
    ::unsetenv("STATE_DIRECTORY");
    const char* off[] = {"kavro-relay", "--data-dir", "off", "--keep-days", "0.5"};
    EXPECT_FALSE(parse_command_line(5, off, options).has_value());
    EXPECT_FALSE(options.data_dir);
    EXPECT_EQ(options.keep_days, 0.5);
    const char* dir[] = {"kavro-relay", "--data-dir", "/srv/races", "--keep-bytes", "0"};
    EXPECT_FALSE(parse_command_line(5, dir, options).has_value());
    EXPECT_EQ(options.data_dir, std::filesystem::path("/srv/races"));
    EXPECT_EQ(options.keep_bytes, 0u);
    const char* bad[] = {"kavro-relay", "--keep-days", "-1"};
    EXPECT_EQ(parse_command_line(3, bad, options), 2);
}

TEST(RelayOptions, HttpAddressOrOff) {
    RelayOptions options;
    const char* none[] = {"kavro-relay"};
    EXPECT_FALSE(parse_command_line(1, none, options).has_value());
    EXPECT_TRUE(options.http_enabled);
    EXPECT_EQ(options.http_host, "127.0.0.1");
    EXPECT_EQ(options.http_port, 47476);
    const char* some[] = {"kavro-relay", "--http", "[::]:8080"};
    EXPECT_FALSE(parse_command_line(3, some, options).has_value());
    EXPECT_EQ(options.http_host, "::");
    EXPECT_EQ(options.http_port, 8080);
    const char* off[] = {"kavro-relay", "--http", "off"};
    EXPECT_FALSE(parse_command_line(3, off, options).has_value());
    EXPECT_FALSE(options.http_enabled);
    const char* bad[] = {"kavro-relay", "--http", "8080"};
    const auto code = parse_command_line(3, bad, options);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
}

}  // namespace
}  // namespace kavro::relay
