// The socket-free parts of running behind proxies: the PROXY protocol header read a piece at a
// time and never past its end, X-Forwarded-For's last hop, the trusted networks, the options
// that name them and the admin listener; and /archive.json's page parameters.
#include <gtest/gtest.h>

#include <boost/beast/http/verb.hpp>

#include "relay/base/relay_options.h"
#include "relay/base/trusted_network.h"
#include "relay/http/forwarded_for.h"
#include "relay/http/http_routes.h"
#include "relay/net/proxy_header.h"

namespace kavro::relay {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Feeds `stream` to a reader exactly as the relay does, the bytes it asks for at a time; returns
// the reader and how many bytes it took.
std::pair<ProxyHeaderReader, std::size_t> read_header(const Bytes& stream) {
    ProxyHeaderReader reader;
    std::size_t taken = 0;
    while (reader.state() == ProxyHeaderReader::State::kReading) {
        const std::size_t wanted = reader.wanted();
        if (taken + wanted > stream.size()) break;
        reader.take({stream.data() + taken, wanted});
        taken += wanted;
    }
    return {std::move(reader), taken};
}

Bytes v2_header(std::uint8_t command, std::uint8_t family, const Bytes& addresses) {
    Bytes header{0x0D,
                 0x0A,
                 0x0D,
                 0x0A,
                 0x00,
                 0x0D,
                 0x0A,
                 0x51,
                 0x55,
                 0x49,
                 0x54,
                 0x0A,
                 static_cast<std::uint8_t>(0x20 | command),
                 family,
                 static_cast<std::uint8_t>(addresses.size() >> 8),
                 static_cast<std::uint8_t>(addresses.size() & 0xFF)};
    header.insert(header.end(), addresses.begin(), addresses.end());
    return header;
}

TEST(ProxyHeader, EachVersionNamesItsClientAndNotAByteOfTheClientsOwnIsTaken) {
    const Bytes hello = bytes_of("CCN0 the client's own bytes");
    struct Case {
        Bytes header;
        std::string address;  // empty: the proxy's own connection
        std::uint16_t port;
    };
    Bytes v6_addresses(36, 0);
    v6_addresses[0] = 0x20;
    v6_addresses[1] = 0x01;
    v6_addresses[2] = 0x0d;
    v6_addresses[3] = 0xb8;
    v6_addresses[15] = 0x07;
    v6_addresses[32] = 0x12;
    v6_addresses[33] = 0x67;
    Bytes v4_with_tlv{198,  51,   100,  7,    127,  0,    0,    1,
                      0x13, 0x88, 0xB9, 0x33, 0x04, 0x00, 0x01, 0x2A};
    const std::vector<Case> cases{
        {bytes_of("PROXY TCP4 203.0.113.9 127.0.0.1 4711 47475\r\n"), "203.0.113.9", 4711},
        {bytes_of("PROXY TCP6 2001:db8::7 ::1 4711 47475\r\n"), "2001:db8::7", 4711},
        {bytes_of("PROXY UNKNOWN\r\n"), "", 0},
        {bytes_of("PROXY UNKNOWN ffff:f...f:ffff ffff:f...f:ffff 65535 65535\r\n"), "", 0},
        {v2_header(1, 0x11, v4_with_tlv), "198.51.100.7", 5000},
        {v2_header(1, 0x21, v6_addresses), "2001:db8::7", 4711},
        {v2_header(0, 0x00, {}), "", 0},  // LOCAL: the proxy's health check
    };
    for (const Case& each : cases) {
        const auto [reader, taken] = read_header(each.header);
        SCOPED_TRACE(std::string(each.header.begin(), each.header.end()));
        ASSERT_EQ(reader.state(), ProxyHeaderReader::State::kDone) << reader.problem();
        EXPECT_EQ(taken, each.header.size());
        // With the client's bytes behind it, the reader still stops at the header's end.
        Bytes stream = each.header;
        stream.insert(stream.end(), hello.begin(), hello.end());
        EXPECT_EQ(read_header(stream).second, each.header.size());
        if (each.address.empty()) {
            EXPECT_FALSE(reader.source());
        } else {
            ASSERT_TRUE(reader.source());
            EXPECT_EQ(reader.source()->address.to_string(), each.address);
            EXPECT_EQ(reader.source()->port, each.port);
        }
    }
}

TEST(ProxyHeader, AnythingElseIsRefusedWithAReason) {
    const std::vector<Bytes> bad{
        bytes_of("CCN0....."),
        bytes_of("GET / HTTP/1.1\r\n"),
        bytes_of("PROXY TCP4 203.0.113.9 127.0.0.1 4711\r\n"),
        bytes_of("PROXY TCP4 2001:db8::7 127.0.0.1 4711 47475\r\n"),
        bytes_of("PROXY TCP4 203.0.113.9 127.0.0.1 65536 47475\r\n"),
        bytes_of("PROXY TCP4 203.0.113.9 127.0.0.1 04711 47475\r\n"),
        bytes_of("PROXY TCP4  203.0.113.9 127.0.0.1 4711 47475\r\n"),
        bytes_of("PROXY UDP4 203.0.113.9 127.0.0.1 4711 47475\r\n"),
        bytes_of("PROXY " + std::string(120, '1') + "\r\n"),
        v2_header(1, 0x11, Bytes(4, 0)),     // too short for two addresses and ports
        v2_header(2, 0x11, Bytes(12, 0)),    // an unknown command
        v2_header(1, 0x21, Bytes(12, 0)),    // IPv6 with IPv4's length
        v2_header(1, 0x11, Bytes(2000, 0)),  // past the longest accepted
    };
    for (const Bytes& each : bad) {
        const auto [reader, taken] = read_header(each);
        EXPECT_EQ(reader.state(), ProxyHeaderReader::State::kBad)
            << std::string(each.begin(), each.end());
        EXPECT_FALSE(reader.problem().empty());
        EXPECT_LE(taken, kMostProxyHeaderBytes);
    }
    Bytes wrong_version = v2_header(1, 0x11, Bytes(12, 0));
    wrong_version[12] = 0x11;
    EXPECT_EQ(read_header(wrong_version).first.state(), ProxyHeaderReader::State::kBad);
}

TEST(ForwardedFor, OnlyTheLastHopCountsInAnyOfItsForms) {
    const auto hop = [](std::string_view value) {
        const auto forwarded = last_forwarded_hop(value);
        return forwarded.kind == ForwardedClient::Kind::kAddress ? forwarded.address.to_string()
                                                                 : std::string("bad");
    };
    EXPECT_EQ(hop("203.0.113.7"), "203.0.113.7");
    EXPECT_EQ(hop("10.9.9.9, 203.0.113.7"), "203.0.113.7");
    EXPECT_EQ(hop("203.0.113.7,10.9.9.9"), "10.9.9.9");
    EXPECT_EQ(hop(" 2001:db8::1 "), "2001:db8::1");
    EXPECT_EQ(hop("[2001:db8::1]:4711"), "2001:db8::1");
    EXPECT_EQ(hop("203.0.113.7:4711"), "203.0.113.7");
    EXPECT_EQ(hop("203.0.113.7, unknown"), "bad");
    EXPECT_EQ(hop(""), "bad");
    EXPECT_EQ(hop("[2001:db8::1"), "bad");

    HttpRequest request{boost::beast::http::verb::get, "/", 11};
    EXPECT_EQ(forwarded_client(request).kind, ForwardedClient::Kind::kNone);
    request.insert("X-Forwarded-For", "127.0.0.9");
    request.insert("X-Forwarded-For", "10.0.0.1, 203.0.113.7");
    const auto forwarded = forwarded_client(request);
    ASSERT_EQ(forwarded.kind, ForwardedClient::Kind::kAddress);
    EXPECT_EQ(forwarded.address.to_string(), "203.0.113.7");
}

TEST(TrustedNetwork, AnAddressIsItselfAlonePrefixesCoverTheirNetwork) {
    std::string problem;
    const auto one = parse_trusted_network("127.0.0.1", problem);
    ASSERT_TRUE(one);
    const auto net = parse_trusted_network("10.1.2.3/16", problem);
    ASSERT_TRUE(net);
    EXPECT_EQ(net->text(), "10.1.0.0/16");
    const auto v6 = parse_trusted_network("2001:db8::1", problem);
    ASSERT_TRUE(v6);
    const auto any = [](const char* text) { return boost::asio::ip::make_address(text); };
    EXPECT_TRUE(one->contains(any("127.0.0.1")));
    EXPECT_FALSE(one->contains(any("127.0.0.2")));
    EXPECT_TRUE(one->contains(any("::ffff:127.0.0.1")));  // through a dual-stack socket
    EXPECT_TRUE(net->contains(any("10.1.255.9")));
    EXPECT_FALSE(net->contains(any("10.2.0.1")));
    EXPECT_TRUE(v6->contains(any("2001:db8::1")));
    EXPECT_FALSE(v6->contains(any("2001:db8::2")));  // not its /64, as a ban would be
    EXPECT_FALSE(v6->contains(any("127.0.0.1")));
    EXPECT_TRUE(is_trusted({*one, *net}, any("10.1.0.1")));
    EXPECT_FALSE(is_trusted({}, any("127.0.0.1")));
    for (const char* text : {"", "localhost", "10.0.0.0/33", "10.0.0.0/", "::1/129", "1.2.3.4/x"}) {
        EXPECT_FALSE(parse_trusted_network(text, problem)) << text;
    }
}

TEST(RelayOptions, TrustedProxiesRepeatAndTheAdminApiHasItsOwnAddressOrNone) {
    RelayOptions options;
    const char* none[] = {"kavro-relay"};
    EXPECT_FALSE(parse_command_line(1, none, options).has_value());
    EXPECT_TRUE(options.trusted_proxies.empty());
    EXPECT_TRUE(options.admin_enabled);
    EXPECT_EQ(options.admin_host, "127.0.0.1");
    EXPECT_EQ(options.admin_port, 47477);
    const char* some[] = {"kavro-relay", "--trusted-proxy", "127.0.0.1",     "--trusted-proxy",
                          "10.0.0.0/8",  "--admin",         "127.0.0.1:9000"};
    EXPECT_FALSE(parse_command_line(7, some, options).has_value());
    ASSERT_EQ(options.trusted_proxies.size(), 2u);
    EXPECT_EQ(options.trusted_proxies[1].text(), "10.0.0.0/8");
    EXPECT_EQ(options.admin_port, 9000);
    const char* off[] = {"kavro-relay", "--admin", "off"};
    RelayOptions without;
    EXPECT_FALSE(parse_command_line(3, off, without).has_value());
    EXPECT_FALSE(without.admin_enabled);
    const char* bad_proxy[] = {"kavro-relay", "--trusted-proxy", "proxy.example.org"};
    EXPECT_EQ(parse_command_line(3, bad_proxy, options), 2);
    const char* bad_admin[] = {"kavro-relay", "--admin", "9000"};
    EXPECT_EQ(parse_command_line(3, bad_admin, options), 2);
}

TEST(ArchiveQuery, LimitAndBeforeAreWholeNumbersInRangeOtherParametersAreIgnored) {
    const auto query = archive_query_of("/archive.json");
    ASSERT_TRUE(query);
    EXPECT_EQ(query->limit, kArchivePageLimit);
    EXPECT_FALSE(query->before);
    const auto paged = archive_query_of("/archive.json?limit=20&before=77&t=1");
    ASSERT_TRUE(paged);
    EXPECT_EQ(paged->limit, 20u);
    EXPECT_EQ(paged->before, 77u);
    EXPECT_TRUE(archive_query_of("/archive.json?limit=100"));
    EXPECT_TRUE(archive_query_of("/archive.json?"));
    for (const char* bad :
         {"/archive.json?limit=0", "/archive.json?limit=101",
          "/archive.json?limit=", "/archive.json?limit", "/archive.json?limit=+5",
          "/archive.json?limit=5x", "/archive.json?before=0", "/archive.json?before=-3",
          "/archive.json?before=1&before=1", "/archive.json?limit=1&limit=1"}) {
        EXPECT_FALSE(archive_query_of(bad)) << bad;
    }
}

}  // namespace
}  // namespace kavro::relay
