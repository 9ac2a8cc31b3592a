// The relay behind proxies. Only a proxy the operator names may say who its client is: through
// X-Forwarded-For's last hop for HTTP, through a PROXY protocol header on the relay's own port;
// from anyone else such a header changes nothing (HTTP) or is a protocol error (the relay's
// port). Then every count, limit, ban and log line uses the client's address. First with
// headers the test writes, then behind the real things: Debian's nginx (the guide's recipe)
// and haproxy (send-proxy and send-proxy-v2), each started here on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/verb.hpp>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loopback_peer.h"
#include "temp_folder.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/proxy_process.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

namespace http = boost::beast::http;
using kavro::test::PeerSocket;
using kavro::test::TempFolder;

constexpr const char* kToken = "t0ken-for-the-proxy-tests";

TrustedNetwork loopback_proxy() {
    std::string problem;
    return *parse_trusted_network("127.0.0.1", problem);
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A PROXY protocol version 2 header naming `client`:`port` (IPv4) as a connection's source.
Bytes proxy_v2(const char* client, std::uint16_t port) {
    Bytes header{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51,
                 0x55, 0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C};
    const auto source = boost::asio::ip::make_address_v4(client).to_bytes();
    header.insert(header.end(), source.begin(), source.end());
    header.insert(header.end(), {127, 0, 0, 1});
    header.insert(header.end(), {static_cast<std::uint8_t>(port >> 8),
                                 static_cast<std::uint8_t>(port & 0xFF), 0xB9, 0x33});
    return header;
}

Bytes proxy_v1(const char* client, std::uint16_t port) {
    return bytes_of(std::string("PROXY TCP4 ") + client + " 127.0.0.1 " + std::to_string(port) +
                    " 47475\r\n");
}

std::string error_of(TestClient& client) {
    const auto message = client.read_skipping_keepalives();
    return message && message->tag == "ERR" ? message->text() : "(no ERR)";
}

// A connection from `source` with a small receive buffer, as a client that reads slowly.
PeerSocket connect_from(const char* source, std::uint16_t port, int receive_buffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(boost::asio::ip::make_address_v4(source).to_uint());
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return PeerSocket{};
    }
    return PeerSocket(fd);
}

// The head of an HTTP answer, read a byte at a time so nothing of the body is taken.
std::string read_head(const PeerSocket& socket) {
    std::string head;
    while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos) {
        const auto byte = socket.read(1, kDeadline);
        if (byte.empty()) break;
        head.push_back(static_cast<char>(byte[0]));
    }
    return head;
}

int status_of(const std::optional<HttpAnswer>& answer) { return answer ? answer->result_int() : 0; }

int get_from(const char* source, std::uint16_t port, std::string_view target,
             const HttpFields& fields = {}) {
    HttpTestClient client(port, source);
    return status_of(client.request(http::verb::get, target, {}, fields));
}

bool ban(std::uint16_t admin_port, const std::string& address) {
    HttpTestClient admin(admin_port);
    admin.set_bearer(kToken);
    return status_of(admin.request(http::verb::post, "/admin/ban?address=" + address)) == 200;
}

// The addresses the admin API lists for the relay's connections.
std::vector<std::string> listed_addresses(std::uint16_t admin_port) {
    HttpTestClient admin(admin_port);
    admin.set_bearer(kToken);
    const auto answer = admin.get("/admin/connections");
    std::vector<std::string> addresses;
    EXPECT_EQ(status_of(answer), 200);
    if (!answer || answer->result_int() != 200) return addresses;
    const auto document = nlohmann::json::parse(answer->body());
    for (const auto& each : document.at("connections")) {
        addresses.push_back(each.at("address"));
    }
    return addresses;
}

bool lists(const std::vector<std::string>& addresses, const std::string& address) {
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

RelayOptions proxied_options() {
    RelayOptions options = test_options();
    options.trusted_proxies = {loopback_proxy()};
    options.admin_token = kToken;
    return options;
}

TEST(RelayBehindProxies, APROXYHeaderNamesTheClientOnlyFromATrustedProxyEvenInPieces) {
    RelayOptions options = proxied_options();
    options.connections_per_address = 2;
    options.watchers_per_address = 2;
    options.idle_timeout = 30s;
    RunningRelay relay(options);

    // Version 2 in three pieces, its last piece in one write with the client's hello: the
    // hello is the client's, not the header's.
    TestClient first(relay.port());  // from 127.0.0.1, the trusted proxy
    const Bytes v2 = proxy_v2("203.0.113.9", 4711);
    ASSERT_TRUE(first.send(Bytes(v2.begin(), v2.begin() + 5)));
    ASSERT_TRUE(first.send(Bytes(v2.begin() + 5, v2.begin() + 17)));
    ASSERT_TRUE(
        first.send(joined(Bytes(v2.begin() + 17, v2.end()), hello_message(wire::kModeWatch))));
    const auto ack = first.read_skipping_keepalives();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->tag, wire::kTagAck);
    EXPECT_TRUE(relay.logged({"connection from 203.0.113.9:4711 accepted"}));
    EXPECT_TRUE(lists(listed_addresses(relay.admin_port()), "203.0.113.9:4711"));

    // The same client again, by version 1: its second connection is its last.
    TestClient second(relay.port());
    ASSERT_TRUE(
        second.send(joined(proxy_v1("203.0.113.9", 4712), hello_message(wire::kModeWatch))));
    const auto second_ack = second.read_skipping_keepalives();
    ASSERT_TRUE(second_ack);
    EXPECT_EQ(second_ack->tag, wire::kTagAck);
    TestClient third(relay.port());
    ASSERT_TRUE(third.send(joined(proxy_v1("203.0.113.9", 4713), hello_message(wire::kModeWatch))));
    EXPECT_EQ(error_of(third), "Too many connections from your address.");
    // Another client through the same proxy is its own address.
    TestClient other(relay.port());
    ASSERT_TRUE(other.send(proxy_v1("198.51.100.7", 5000)));
    EXPECT_TRUE(other.cast("Elsewhere"));
    EXPECT_TRUE(relay.logged({"connection from 198.51.100.7:5000 accepted"}));

    // From an address that is not trusted, a PROXY header is bytes the relay does not know.
    TestClient stranger(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(stranger.send(proxy_v1("198.51.100.8", 5001)));
    EXPECT_EQ(error_of(stranger), "Unknown message.");
    EXPECT_TRUE(stranger.closed_by_relay());
    TestClient stranger_v2(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(stranger_v2.send(proxy_v2("198.51.100.8", 5002)));
    EXPECT_EQ(error_of(stranger_v2), "Unknown message.");

    // From the trusted proxy, no valid header closes the connection: a client's own bytes,
    // a damaged header, or nothing at all for 3 s.
    TestClient bare(relay.port());
    ASSERT_TRUE(bare.send(hello_message(wire::kModeWatch)));
    EXPECT_TRUE(bare.closed_by_relay());
    EXPECT_TRUE(
        relay.logged({"connection from trusted proxy 127.0.0.1:", "no PROXY protocol header"}));
    TestClient damaged(relay.port());
    ASSERT_TRUE(damaged.send(bytes_of("PROXY TCP4 999.0.0.1 127.0.0.1 1 2\r\n")));
    EXPECT_TRUE(damaged.closed_by_relay());
    EXPECT_TRUE(relay.logged({"a PROXY line with a bad address or port"}));
    TestClient silent(relay.port());
    EXPECT_TRUE(silent.closed_by_relay(10s));
    EXPECT_TRUE(relay.logged({"no PROXY header within 3 s"}));

    // A ban of the named client reaches it through the proxy.
    ASSERT_TRUE(ban(relay.admin_port(), "198.51.100.7"));
    EXPECT_EQ(error_of(other), "This relay does not accept your address.");
    TestClient back(relay.port());
    ASSERT_TRUE(back.send(joined(proxy_v2("198.51.100.7", 5003), hello_message(wire::kModeWatch))));
    EXPECT_EQ(error_of(back), "This relay does not accept your address.");
}

TEST(RelayBehindProxies, XForwardedForNamesTheClientOnlyFromATrustedProxyAndOnlyItsLastHop) {
    RelayOptions options = proxied_options();
    RunningRelay relay(options);
    ASSERT_TRUE(ban(relay.admin_port(), "127.0.0.9"));
    const auto port = relay.http_port();

    // From the trusted proxy: the last hop is the client; earlier hops are the client's own.
    EXPECT_EQ(get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.9"}}), 403);
    EXPECT_EQ(
        get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.8, 127.0.0.9"}}),
        403);
    EXPECT_EQ(
        get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.9, 127.0.0.8"}}),
        200);
    EXPECT_EQ(get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "nonsense"}}), 400);
    EXPECT_EQ(get_from("127.0.0.1", port, "/healthz"), 200);  // the proxy's own request
    // From anyone else the header changes nothing.
    EXPECT_EQ(get_from("127.0.0.2", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.9"}}), 200);
    EXPECT_TRUE(relay.logged({"http request from 127.0.0.9 (via 127.0.0.1:", "banned"}));

    // Eight half-open requests of one client through the proxy take that client's share
    // alone: everyone else, and the proxy's own health check, are served.
    std::vector<PeerSocket> half_open;
    for (int i = 0; i < 8; ++i) {
        half_open.push_back(connect_from("127.0.0.1", port, 0));
        ASSERT_TRUE(half_open.back().valid());
        half_open.back().send(
            std::string("POST /casts.json HTTP/1.1\r\nHost: relay\r\nX-Forwarded-For: 127.0.0.5\r\n"
                        "Content-Length: 100\r\n\r\n"));
    }
    EXPECT_TRUE(becomes([&] {
        return get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.5"}}) ==
               429;
    }));
    EXPECT_EQ(get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.6"}}), 200);
    EXPECT_EQ(get_from("127.0.0.1", port, "/healthz"), 200);
    half_open.clear();
    EXPECT_TRUE(becomes([&] {
        return get_from("127.0.0.1", port, "/casts.json", {{"X-Forwarded-For", "127.0.0.5"}}) ==
               200;
    }));
}

class RealProxies : public ::testing::Test {
  protected:
    void write(const std::string& name, const std::string& text) {
        std::ofstream(folder_.path() / name) << text;
    }
    std::string path(const std::string& name) const { return (folder_.path() / name).string(); }
    TempFolder folder_;
};

TEST_F(RealProxies, BehindNginxEachClientIsLimitedAndBannedByItsOwnAddressAndAdminIsNotPublished) {
    RelayOptions options = proxied_options();
    options.data_dir = folder_.path() / "data";
    RunningRelay relay(options);
    // A race long enough that a download nobody reads stays open at the relay.
    constexpr std::size_t kBlocks = 4096;  // 16 MiB
    const Recording recording(61);
    TestClient caster(relay.port(), 0, "127.0.0.1");
    // 127.0.0.1 is the trusted proxy: a direct client from it says so with a LOCAL header.
    ASSERT_TRUE(caster.send(Bytes{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54,
                                  0x0A, 0x20, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(caster.cast("Long race"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(upload(caster, recording, 0, kBlocks));
    ASSERT_TRUE(becomes([&] {
        const auto archive = http_get(relay.http_port(), "/archive.json");
        return archive && archive->body().find("\"bytes\":" + std::to_string(file_size(kBlocks))) !=
                              std::string::npos;
    }));

    const std::uint16_t nginx_port = kavro::test::unused_port();
    write("nginx.conf", nginx_config(folder_.path(), nginx_port, relay.http_port()));
    ProxyProcess nginx(
        "/usr/sbin/nginx",
        {"-p", folder_.path().string(), "-e", path("nginx-start.log"), "-c", path("nginx.conf")},
        folder_.path(), nginx_port);
    if (nginx.reason()) GTEST_SKIP() << "nginx cannot run here: " << *nginx.reason();

    EXPECT_EQ(get_from("127.0.0.3", nginx_port, "/live/healthz"), 200);
    // Eight downloads from one client that reads nothing: each holds a request at the relay.
    std::vector<PeerSocket> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.push_back(connect_from("127.0.0.2", nginx_port, 4096));
        ASSERT_TRUE(stalled.back().valid());
        stalled.back().send(std::string("GET /live/replays/1.mpr HTTP/1.1\r\nHost: relay\r\n\r\n"));
        const std::string head = read_head(stalled.back());
        ASSERT_EQ(head.substr(0, 12), "HTTP/1.1 200") << head;
    }
    // That client has used its share; nobody else is locked out, and the relay is healthy.
    EXPECT_EQ(get_from("127.0.0.2", nginx_port, "/live/casts.json"), 429);
    EXPECT_EQ(get_from("127.0.0.3", nginx_port, "/live/healthz"), 200);
    EXPECT_EQ(get_from("127.0.0.3", nginx_port, "/live/casts.json"), 200);
    EXPECT_EQ(get_from("127.0.0.4", nginx_port, "/live/archive.json?limit=5"), 200);
    EXPECT_TRUE(relay.logged({"http request from 127.0.0.2 (via 127.0.0.1:", "too many"}));

    // A ban of the client's address holds through the proxy, whatever the client claims.
    ASSERT_TRUE(ban(relay.admin_port(), "127.0.0.2"));
    EXPECT_EQ(
        get_from("127.0.0.2", nginx_port, "/live/healthz", {{"X-Forwarded-For", "127.0.0.3"}}),
        403);
    EXPECT_EQ(get_from("127.0.0.3", nginx_port, "/live/healthz"), 200);

    // The admin API is not reachable through the proxy, nor on the relay's public port.
    HttpTestClient outsider(nginx_port, "127.0.0.3");
    outsider.set_bearer(kToken);
    for (const char* target : {"/live/admin/bans", "/live/admin/connections", "/admin/bans"}) {
        EXPECT_EQ(status_of(outsider.get(target)), 404) << target;
    }
    HttpTestClient direct(relay.http_port());
    direct.set_bearer(kToken);
    EXPECT_EQ(status_of(direct.get("/admin/bans")), 404);
    HttpTestClient admin(relay.admin_port());
    admin.set_bearer(kToken);
    const auto bans = admin.get("/admin/bans");
    ASSERT_EQ(status_of(bans), 200);
    EXPECT_NE(bans->body().find("127.0.0.2/32"), std::string::npos);
    EXPECT_EQ(get_from("127.0.0.3", nginx_port, "/live/metrics"), 404);
}

class BehindHaproxy : public RealProxies, public ::testing::WithParamInterface<const char*> {};

TEST_P(BehindHaproxy, ARelayClientIsCountedLimitedAndBannedUnderItsRealAddress) {
    RelayOptions options = proxied_options();
    options.connections_per_address = 2;
    options.watchers_per_address = 2;
    RunningRelay relay(options);
    const std::uint16_t haproxy_port = kavro::test::unused_port();
    write("haproxy.cfg", haproxy_config(haproxy_port, relay.port(), GetParam()));
    ProxyProcess haproxy("/usr/sbin/haproxy", {"-db", "-f", path("haproxy.cfg")}, folder_.path(),
                         haproxy_port);
    if (haproxy.reason()) GTEST_SKIP() << "haproxy cannot run here: " << *haproxy.reason();

    TestClient caster(haproxy_port, 0, "127.0.0.4");
    ASSERT_TRUE(caster.cast("Through haproxy"));
    const Recording recording(62);
    ASSERT_TRUE(caster.send(recording.header_upload()));
    TestClient first(haproxy_port, 0, "127.0.0.2");
    TestClient second(haproxy_port, 0, "127.0.0.2");
    ASSERT_TRUE(first.watch("Through haproxy"));
    ASSERT_TRUE(second.watch("Through haproxy"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(first, wire::kReplayHeaderSize));
    // The third from that client is past its share; a client at another address is not.
    TestClient third(haproxy_port, 0, "127.0.0.2");
    ASSERT_TRUE(third.send(hello_message(wire::kModeWatch)));
    EXPECT_EQ(error_of(third), "Too many connections from your address.");
    TestClient neighbour(haproxy_port, 0, "127.0.0.3");
    ASSERT_TRUE(neighbour.watch("Through haproxy"));
    ReplayReader neighbour_reader;
    ASSERT_TRUE(neighbour_reader.read_until(neighbour, wire::kReplayHeaderSize));

    // Listed and logged under the addresses and ports the clients really have.
    const auto listed = listed_addresses(relay.admin_port());
    for (const TestClient* client : {&caster, &first, &second, &neighbour}) {
        EXPECT_TRUE(lists(listed, client->local_address()))
            << client->local_address() << " not in " << nlohmann::json(listed).dump();
    }
    EXPECT_TRUE(relay.logged({"connection from " + neighbour.local_address() + " accepted"}));

    ASSERT_TRUE(ban(relay.admin_port(), "127.0.0.3"));
    EXPECT_EQ(error_of(neighbour), "This relay does not accept your address.");
    TestClient again(haproxy_port, 0, "127.0.0.3");
    ASSERT_TRUE(again.send(hello_message(wire::kModeWatch)));
    EXPECT_EQ(error_of(again), "This relay does not accept your address.");
    ASSERT_TRUE(caster.send(block_upload(recording.block(0))));
    ASSERT_TRUE(reader.read_until(first, file_size(1)));
    EXPECT_TRUE(reader.file() == recording.file(1));
}

INSTANTIATE_TEST_SUITE_P(SendProxyVersions, BehindHaproxy,
                         ::testing::Values("send-proxy", "send-proxy-v2"), [](const auto& info) {
                             return std::string(info.param) == "send-proxy" ? "Version1"
                                                                            : "Version2";
                         });

}  // namespace
}  // namespace kavro::relay::testing
