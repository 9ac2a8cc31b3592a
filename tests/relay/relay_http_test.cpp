// The relay's HTTP side through a real HTTP client: every endpoint against a relay with live
// casts, watchers and a cast in its grace period; the metrics as the exposition format; the
// connection limit; and requests the relay must not serve, each leaving casts undisturbed.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "polling.h"
#include "relay/transport/network_server.h"
#include "tests/relay/exposition.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/live_scene.h"
#include "tests/relay/running_relay.h"

namespace kavro::relay::testing {
namespace {

namespace http = boost::beast::http;

constexpr std::size_t kHelloBytes = 52, kHeaderUploadBytes = 16390, kBlockUploadBytes = 4100;

std::string header(const HttpAnswer& answer, http::field field) {
    return std::string(answer[field]);
}

std::string metrics(std::uint16_t http_port) {
    const auto answer = http_get(http_port, "/metrics");
    return answer && answer->result_int() == 200 ? answer->body() : "";
}

// Scrapes /metrics until `check` holds for it, within the deadline.
template <typename Check>
std::optional<Exposition> metrics_become(std::uint16_t http_port, Check check) {
    std::optional<Exposition> scraped;
    const bool held = test::wait_until(
        [&] {
            scraped = parse_exposition(metrics(http_port));
            return scraped->problem.empty() && check(*scraped);
        },
        kDeadline, 20ms);
    return held ? scraped : std::nullopt;
}

TEST(RelayHttp, CastsJsonListsEveryCastWithItsStateForAnyWebsiteAndNoAddress) {
    RunningRelay relay;
    LiveScene scene(relay);
    ASSERT_TRUE(scene.settled());

    const auto answer = http_get(relay.http_port(), "/casts.json");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->result_int(), 200);
    EXPECT_EQ(header(*answer, http::field::content_type), "application/json; charset=utf-8");
    EXPECT_EQ(header(*answer, http::field::cache_control), "no-cache");
    EXPECT_EQ(header(*answer, http::field::access_control_allow_origin), "*");
    EXPECT_EQ(answer->body().find("127.0.0.1"), std::string::npos);

    const auto document = nlohmann::json::parse(answer->body());
    EXPECT_EQ(document.at("version"), "0.0.2.0");
    EXPECT_GE(document.at("uptime_seconds").get<int>(), 0);
    EXPECT_EQ(document.at("accepting_connections"), true);
    EXPECT_EQ(document.at("connections"), 5);  // two casters and three watchers
    EXPECT_GE(document.at("http_connections").get<int>(), 1);
    EXPECT_EQ(document.at("watchers"), 3);
    EXPECT_TRUE(document.at("received_bytes_per_second").is_number());
    EXPECT_TRUE(document.at("sent_bytes_per_second").is_number());

    const auto& casts = document.at("casts");
    ASSERT_EQ(casts.size(), 3u);
    EXPECT_EQ(casts[0].at("name"), "Club race");  // most watchers first
    EXPECT_EQ(casts[1].at("name"), "<b>x</b>");
    EXPECT_EQ(casts[2].at("name"), "Gone");

    const auto& club = casts[0];
    EXPECT_EQ(club.at("track"), "BL1");
    EXPECT_EQ(club.at("watchers"), 2);
    EXPECT_GT(club.at("packet_time_seconds").get<double>(), 0.0);
    EXPECT_GE(club.at("live_seconds").get<int>(), 0);
    EXPECT_EQ(club.at("replay_bytes"), 16384 + 3 * 4096);
    EXPECT_EQ(club.at("caster_connected"), true);
    EXPECT_TRUE(club.at("resume_seconds_left").is_null());

    const auto& bold = casts[1];
    EXPECT_EQ(bold.at("track"), "FE2");
    EXPECT_EQ(bold.at("watchers"), 1);
    EXPECT_TRUE(bold.at("packet_time_seconds").is_null());  // no two blocks yet
    EXPECT_EQ(bold.at("replay_bytes"), 16384);

    const auto& gone = casts[2];
    EXPECT_EQ(gone.at("track"), "AS3");
    EXPECT_EQ(gone.at("watchers"), 0);
    EXPECT_EQ(gone.at("replay_bytes"), 0);
    EXPECT_EQ(gone.at("caster_connected"), false);
    EXPECT_GT(gone.at("resume_seconds_left").get<int>(), 0);
    EXPECT_LE(gone.at("resume_seconds_left").get<int>(), 60);
}

TEST(RelayHttp, PageAndHealthCheckAnswerGetAndHeadOnOneConnection) {
    RunningRelay relay;
    LiveScene scene(relay);
    ASSERT_TRUE(scene.settled());
    HttpTestClient client(relay.http_port());

    const auto page = client.get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->result_int(), 200);
    EXPECT_EQ(header(*page, http::field::content_type), "text/html; charset=utf-8");
    EXPECT_NE(page->body().find("<title>Kavro relay</title>"), std::string::npos);
    EXPECT_NE(page->body().find("fetch(\"casts.json\""), std::string::npos);
    EXPECT_NE(std::string(page->base()["Content-Security-Policy"]).find("default-src 'none'"),
              std::string::npos);
    EXPECT_EQ(page->body().find("127.0.0.1"), std::string::npos);

    const auto head = client.request(http::verb::head, "/");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->result_int(), 200);
    EXPECT_EQ(header(*head, http::field::content_length), std::to_string(page->body().size()));
    EXPECT_TRUE(head->body().empty());

    const auto health = client.get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->result_int(), 200);
    EXPECT_EQ(health->body(), "ok\n");

    const auto with_query = client.get("/casts.json?nocache=12345");
    ASSERT_TRUE(with_query);
    EXPECT_EQ(with_query->result_int(), 200);
    EXPECT_EQ(nlohmann::json::parse(with_query->body()).at("casts").size(), 3u);
}

TEST(RelayHttp, MetricsParseAsTheExpositionFormatAndCountersOnlyGrow) {
    RunningRelay relay;
    LiveScene scene(relay);
    ASSERT_TRUE(scene.settled());

    const auto answer = http_get(relay.http_port(), "/metrics");
    ASSERT_TRUE(answer);
    EXPECT_EQ(header(*answer, http::field::content_type),
              "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(answer->body().find("127.0.0.1"), std::string::npos);
    const Exposition first = parse_exposition(answer->body());
    ASSERT_EQ(first.problem, "");
    for (const auto& [family, type] : first.family_types) {
        EXPECT_EQ(family.rfind("kavro_relay_", 0), 0u) << family;
        if (type == "counter") {
            EXPECT_TRUE(family.ends_with("_total")) << family;
        }
    }
    EXPECT_EQ(first.value("kavro_relay_casts_live"), 3);
    EXPECT_EQ(first.value("kavro_relay_casts_awaiting_resume"), 1);
    EXPECT_EQ(first.value("kavro_relay_watchers"), 3);
    EXPECT_EQ(first.value("kavro_relay_cast_watchers{cast=\"Club race\"}"), 2);
    EXPECT_EQ(first.value("kavro_relay_cast_watchers{cast=\"<b>x</b>\"}"), 1);
    EXPECT_EQ(first.value("kavro_relay_cast_watchers{cast=\"Gone\"}"), 0);
    EXPECT_EQ(first.value("kavro_relay_cast_replay_bytes{cast=\"Club race\"}"), 16384 + 3 * 4096);
    EXPECT_EQ(first.value("kavro_relay_connections_open{kind=\"relay\"}"), 5);
    EXPECT_GE(first.value("kavro_relay_connections_open{kind=\"http\"}").value_or(0), 1);
    EXPECT_EQ(first.value("kavro_relay_connections_accepted_total"), 6);
    EXPECT_EQ(first.value("kavro_relay_casts_started_total"), 3);
    EXPECT_EQ(first.value("kavro_relay_casts_resumed_total"), 0);
    EXPECT_EQ(first.value("kavro_relay_casts_ended_total"), 0);
    EXPECT_EQ(first.value("kavro_relay_protocol_errors_total"), 0);
    EXPECT_EQ(first.value("kavro_relay_refusals_total{reason=\"no_such_cast\"}"), 0);
    EXPECT_EQ(first.value("kavro_relay_accepting_connections"), 1);
    EXPECT_EQ(first.value("kavro_relay_build_info{version=\"0.0.2.0\"}"), 1);
    // Every byte the clients uploaded, at least: hellos, two headers, three blocks.
    EXPECT_GE(first.value("kavro_relay_received_bytes_total").value_or(0),
              6 * kHelloBytes + 2 * kHeaderUploadBytes + 3 * kBlockUploadBytes);
    // Each of three watchers got at least its cast's header.
    EXPECT_GE(first.value("kavro_relay_sent_bytes_total").value_or(0), 3 * 16384);

    // What the operator wants counted: a refusal, a protocol error, a resume, more data.
    TestClient asks_for_nothing(relay.port());
    EXPECT_TRUE(asks_for_nothing.watch("Nobody"));
    EXPECT_TRUE(asks_for_nothing.closed_by_relay());
    TestClient speaks_nonsense(relay.port());
    EXPECT_TRUE(speaks_nonsense.send(Bytes{'X', 'Y', 'Z', '0'}));
    EXPECT_TRUE(speaks_nonsense.closed_by_relay());
    TestClient returns(relay.port());
    EXPECT_TRUE(returns.cast("Gone", "AS3"));

    const auto second = metrics_become(relay.http_port(), [](const Exposition& scraped) {
        return scraped.value("kavro_relay_protocol_errors_total") == 1 &&
               scraped.value("kavro_relay_casts_resumed_total") == 1 &&
               scraped.value("kavro_relay_refusals_total{reason=\"no_such_cast\"}") == 1;
    });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->value("kavro_relay_casts_awaiting_resume"), 0);
    EXPECT_GT(second->value("kavro_relay_received_bytes_total").value_or(0),
              first.value("kavro_relay_received_bytes_total").value_or(0));
    for (const auto& [sample, before] : first.samples) {
        if (first.type_of(sample) != "counter") continue;
        const auto after = second->value(sample);
        ASSERT_TRUE(after) << sample << " is gone in the second scrape";
        EXPECT_GE(*after, before) << sample;
    }
}

TEST(RelayHttp, CountersOfEveryEventLoopAddUpInTheMetrics) {
    // Connections are handed to the loops in turn, so with several loops these eight land on
    // all of them; each loop counts its own, and a scrape must add every loop's up exactly.
    RunningRelay relay;
    constexpr std::size_t kClients = 8;
    const Bytes nonsense{'X', 'Y', 'Z', '0'};
    for (std::size_t i = 0; i < kClients; ++i) {
        TestClient client(relay.port());
        ASSERT_TRUE(client.send(nonsense));
        ASSERT_TRUE(client.closed_by_relay());
    }
    // Each connection is closed on the relay's side once the client has gone.
    const auto scraped = metrics_become(relay.http_port(), [&](const Exposition& metrics) {
        return metrics.value("kavro_relay_protocol_errors_total") == kClients &&
               metrics.value("kavro_relay_connections_open{kind=\"relay\"}") == 0;
    });
    ASSERT_TRUE(scraped);
    EXPECT_EQ(scraped->value("kavro_relay_connections_accepted_total"), kClients);
    EXPECT_EQ(scraped->value("kavro_relay_received_bytes_total"), kClients * nonsense.size());
    EXPECT_EQ(scraped->value("kavro_relay_sent_bytes_total"),
              kClients * wire::make_error("Unknown message.").size());
}

TEST(RelayHttp, BadRequestsAreAnsweredOrClosedAndCastsCarryOn) {
    RelayOptions options = test_options();
    options.http_request_timeout = 1s;
    RunningRelay relay(options);
    Bystanders bystanders(relay.port());
    const auto healthy = [&] {
        const auto health = http_get(relay.http_port(), "/healthz");
        return health && health->result_int() == 200 && bystanders.undisturbed();
    };

    {  // an unknown path
        const auto answer = http_get(relay.http_port(), "/admin");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->result_int(), 404);
        EXPECT_TRUE(healthy());
    }
    {  // methods other than GET and HEAD, on known paths
        HttpTestClient client(relay.http_port());
        for (const auto method : {http::verb::post, http::verb::delete_, http::verb::put}) {
            const auto answer = client.request(method, "/casts.json", "{}");
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->result_int(), 405);
            EXPECT_EQ(header(*answer, http::field::allow), "GET, HEAD");
        }
        EXPECT_TRUE(healthy());
    }
    {  // not HTTP at all
        HttpTestClient client(relay.http_port());
        ASSERT_TRUE(client.send_raw("HELLO THERE\r\n\r\n"));
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received);
        EXPECT_EQ(received->rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << *received;
        EXPECT_TRUE(healthy());
    }
    // A body framed other than as plain chunks: a proxy in front might read it otherwise.
    for (const char* encoding :
         {"gzip, chunked", "Chunked", "identity", "chunked\r\nTransfer-Encoding: chunked"}) {
        HttpTestClient client(relay.http_port());
        ASSERT_TRUE(
            client.send_raw(std::string("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: ") +
                            encoding + "\r\n\r\n0\r\n\r\n"));
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received) << encoding;
        EXPECT_EQ(received->rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u)
            << encoding << ": " << *received;
    }
    EXPECT_TRUE(healthy());
    {  // a request just under 8 KiB is served
        HttpTestClient client(relay.http_port());
        const std::string request =
            "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(7000, 'a') +
            "\r\nConnection: close\r\n\r\n";
        ASSERT_TRUE(client.send_raw(request));
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received);
        EXPECT_EQ(received->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    }
    {  // a head over 8 KiB is closed unanswered
        HttpTestClient client(relay.http_port());
        client.send_raw("GET / HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(9000, 'a') +
                        "\r\n\r\n");
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received);
        EXPECT_EQ(*received, "");
        EXPECT_TRUE(relay.logged({"http connection from", "its request was over 8192 bytes"}));
        EXPECT_TRUE(healthy());
    }
    // Heads and bodies that are each under 8 KiB but together over it, with a stated length
    // and chunked; and a body over 8 KiB by itself.
    const std::string padded_head =
        "POST / HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(4000, 'a') + "\r\n";
    const std::string chunk = std::string(4000, 'b');
    for (const std::string& request :
         {padded_head + "Content-Length: 4300\r\n\r\n" + std::string(4300, 'b'),
          padded_head + "Transfer-Encoding: chunked\r\n\r\nfa0\r\n" + chunk + "\r\nfa0\r\n" +
              chunk + "\r\n0\r\n\r\n",
          "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 8200\r\n\r\n" + std::string(8200, 'b')}) {
        HttpTestClient client(relay.http_port());
        client.send_raw(request);
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received);
        EXPECT_EQ(*received, "");
        EXPECT_TRUE(healthy());
    }
    {  // a request that stops half-way
        HttpTestClient client(relay.http_port());
        ASSERT_TRUE(client.send_raw("GET / HTTP/1.1\r\nHost: x\r\n"));
        const auto received = client.read_until_closed();
        ASSERT_TRUE(received);
        EXPECT_EQ(*received, "");
        EXPECT_TRUE(relay.logged({"its request did not arrive whole within 1 s"}));
        EXPECT_TRUE(healthy());
    }
    {  // a request that keeps trickling in is closed all the same
        HttpTestClient client(relay.http_port());
        const std::string request =
            "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(4000, 'c') + "\r\n\r\n";
        std::size_t sent = 0;
        while (sent < request.size() && client.send_raw(request.substr(sent, 1))) {
            ++sent;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_LT(sent, request.size());
        EXPECT_TRUE(healthy());
    }
}

TEST(RelayHttp, HttpHasPlacesOfItsOwnAndAFewPerAddress) {
    RelayOptions options = test_options();
    options.max_connections = 2;
    options.max_http_connections = 3;
    options.http_connections_per_address = 2;
    RunningRelay relay(options);
    Bystanders bystanders(relay.port());  // both relay places: a caster and a watcher

    // The relay is full of clients, and the operator still sees it.
    TestClient refused(relay.port());
    const auto error = refused.read();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "The relay is full.");
    auto first = std::make_unique<HttpTestClient>(relay.http_port(), "127.0.0.2");
    const auto metrics_answer = first->get("/metrics");
    ASSERT_TRUE(metrics_answer);
    EXPECT_EQ(metrics_answer->result_int(), 200);
    const Exposition scraped = parse_exposition(metrics_answer->body());
    EXPECT_EQ(scraped.value("kavro_relay_connections_open{kind=\"http\"}"), 1);
    EXPECT_EQ(scraped.value("kavro_relay_connections_open{kind=\"relay\"}"), 2);
    EXPECT_EQ(scraped.value("kavro_relay_connections_max{kind=\"http\"}"), 3);
    EXPECT_EQ(scraped.value("kavro_relay_accepting_connections"), 0);
    const auto health = first->get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->result_int(), 503);  // it answers, and says the relay is full

    // A third connection from one address is closed unanswered; another address is served.
    HttpTestClient second(relay.http_port(), "127.0.0.2");
    ASSERT_TRUE(second.get("/healthz"));
    HttpTestClient third(relay.http_port(), "127.0.0.2");
    const auto unanswered = third.read_until_closed();
    ASSERT_TRUE(unanswered);
    EXPECT_EQ(*unanswered, "");
    HttpTestClient elsewhere(relay.http_port(), "127.0.0.3");
    ASSERT_TRUE(elsewhere.get("/healthz"));

    // Past HTTP's own places, a request gets 503 and the connection is closed.
    HttpTestClient fourth(relay.http_port(), "127.0.0.4");
    const auto full = fourth.get("/");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->result_int(), 503);
    EXPECT_EQ(full->body(), "The relay is full.\n");
    EXPECT_TRUE(fourth.read_until_closed());
    EXPECT_TRUE(relay.logged({"http connection from", "refused: The relay is full."}));
    EXPECT_TRUE(relay.logged({"http connection from 127.0.0.2", "too many from its address"}));

    first.reset();  // its place goes back
    EXPECT_TRUE(test::wait_until(
        [&] {
            const auto answer = http_get(relay.http_port(), "/healthz");
            return (answer && answer->result_int() != 503) ||
                   (answer && answer->body() != "The relay is full.\n");
        },
        kDeadline, 20ms));
    const auto counted = elsewhere.get("/metrics");  // a connection that holds a place
    ASSERT_TRUE(counted);
    const Exposition later = parse_exposition(counted->body());
    EXPECT_EQ(later.value("kavro_relay_refusals_total{reason=\"http_address_limit\"}"), 1);
    EXPECT_EQ(later.value("kavro_relay_refusals_total{reason=\"http_full\"}"), 1);
    EXPECT_TRUE(bystanders.undisturbed());
}

TEST(RelayHttp, HttpCanBeOffAndABusyHttpPortIsAClearError) {
    RelayOptions off = test_options();
    off.http_enabled = false;
    RunningRelay without(off);
    Bystanders bystanders(without.port());
    EXPECT_EQ(without.http_port(), 0);

    RunningRelay first;
    RelayOptions clash = test_options();
    clash.http_port = first.http_port();
    boost::asio::io_context io;
    NetworkServer second(io, clash, [](const std::string&) {});
    try {
        second.start();
        ADD_FAILURE() << "the second relay started on a busy HTTP port";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("cannot serve HTTP on 127.0.0.1:" + std::to_string(first.http_port())),
                  std::string::npos)
            << what;
        EXPECT_NE(what.find("--http off"), std::string::npos);
    }
}

}  // namespace
}  // namespace kavro::relay::testing
