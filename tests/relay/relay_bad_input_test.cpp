// Bad input to a real relay: each gets its answer (ERR and close, or ACK0NO), a log line with
// the peer's address, and a cast with a watcher elsewhere on the relay carries on untouched.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

// Sends `bytes`, expects ERR with `text` and the connection closed.
void expect_error_and_close(TestClient& client, const Bytes& bytes, const std::string& text) {
    ASSERT_TRUE(client.send(bytes));
    const auto error = client.read_skipping_keepalives();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->tag, "ERR");
    EXPECT_EQ(error->text(), text);
    EXPECT_EQ(error->whole.back(), 0);
    EXPECT_EQ(wire::payload_length(error->whole), text.size() + 1);
    EXPECT_TRUE(client.closed_by_relay());
}

class RelayBadInput : public ::testing::Test {
  protected:
    std::unique_ptr<RunningRelay> relay_;
    std::unique_ptr<Bystanders> bystanders_;
    std::unique_ptr<TestClient> client_;

    virtual RelayOptions options() { return test_options(); }
    void SetUp() override {
        relay_ = std::make_unique<RunningRelay>(options());
        bystanders_ = std::make_unique<Bystanders>(relay_->port());
        client_ = std::make_unique<TestClient>(relay_->port());
    }
    RunningRelay& relay() { return *relay_; }
    Bystanders& bystanders() { return *bystanders_; }
    TestClient& client() { return *client_; }

    void expect_protocol_error(const Bytes& bytes, const std::string& text) {
        expect_error_and_close(client(), bytes, text);
        EXPECT_TRUE(relay().logged({"protocol error from " + client().local_address(), text}));
        EXPECT_TRUE(bystanders().undisturbed());
    }
    void expect_refused(const Bytes& hello) {
        ASSERT_TRUE(client().send(hello));
        const auto ack = client().read_skipping_keepalives();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->whole, Bytes(wire::kAckRefused.begin(), wire::kAckRefused.end()));
        EXPECT_TRUE(relay().logged({"refused for " + client().local_address()}));
        EXPECT_TRUE(bystanders().undisturbed());
        // The connection stays open and may register another name.
        EXPECT_TRUE(client().cast("another name"));
    }
};

TEST_F(RelayBadInput, UnknownTag) {
    expect_protocol_error(Bytes{'X', 'Y', 'Z', '0', 1, 2, 3}, "Unknown message.");
}

TEST_F(RelayBadInput, HelloWithWrongLengthField) {
    Bytes hello = hello_message(wire::kModeWatch);
    wire::put_u16le(hello, wire::kHelloLengthOffset, 52);
    expect_protocol_error(hello, "Bad hello length.");
}

TEST_F(RelayBadInput, HelloWithWrongMode) {
    expect_protocol_error(hello_message(2, "name"), "Bad hello mode.");
}

TEST_F(RelayBadInput, HelloFromAnotherClientVersion) {
    expect_error_and_close(client(), hello_message(wire::kModeWatch, "", "", "0.0.1.0"),
                           "This relay needs client version 0.0.2.");
    EXPECT_TRUE(relay().logged({client().local_address(), "client version \"0.0.1.0\""}));
    EXPECT_TRUE(bystanders().undisturbed());
}

TEST_F(RelayBadInput, DataBlockFromAWatcher) {
    ASSERT_TRUE(client().watch("bystander"));
    ReplayReader reader;  // the bystanders' header and first block
    ASSERT_TRUE(reader.read_until(client(), wire::kReplayHeaderSize + wire::kBlockSize));
    expect_protocol_error(block_upload(Recording(1).block(0)), "Only a caster sends replay data.");
}

TEST_F(RelayBadInput, WatchRequestFromACaster) {
    ASSERT_TRUE(client().cast("caster"));
    expect_protocol_error(watch_message("bystander"), "A caster cannot watch a cast.");
}

TEST_F(RelayBadInput, HeaderFromAStranger) {
    expect_protocol_error(Recording(1).header_upload(), "Only a caster sends a replay header.");
}

TEST_F(RelayBadInput, WatchRequestBeforeAnyHello) {
    expect_protocol_error(watch_message("bystander"),
                          "Say hello as a watcher before asking for a cast.");
}

TEST_F(RelayBadInput, WatchRequestForACastThatIsNotLive) {
    ASSERT_TRUE(client().watch("missing"));
    const auto error = client().read_skipping_keepalives();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "No cast named missing is live.");
    EXPECT_TRUE(client().closed_by_relay());
    EXPECT_TRUE(relay().logged({"watcher " + client().local_address() + " asked for missing"}));
    EXPECT_TRUE(bystanders().undisturbed());
}

TEST_F(RelayBadInput, WatchRequestWithControlBytesIsEchoedPrintably) {
    ASSERT_TRUE(client().watch("two\nlines"));
    const auto error = client().read_skipping_keepalives();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "No cast named two?lines is live.");
    EXPECT_TRUE(relay().logged({"asked for two?lines, which is not live"}));
}

TEST_F(RelayBadInput, NameWithControlBytesIsRefused) {
    expect_refused(hello_message(wire::kModeCast, "bad\x01name"));
}

TEST_F(RelayBadInput, EmptyNameIsRefused) { expect_refused(hello_message(wire::kModeCast, "")); }

TEST_F(RelayBadInput, NameLiveFromAnotherAddressIsRefused) {
    client_ = std::make_unique<TestClient>(relay().port(), 0, "127.0.0.2");
    expect_refused(hello_message(wire::kModeCast, "bystander"));
}

TEST_F(RelayBadInput, ClientThatVanishesMidMessage) {
    ASSERT_TRUE(client().cast("vanishing"));
    const Bytes header = Recording(1).header_upload();
    ASSERT_TRUE(client().send(std::span(header).first(5000)));
    const std::string address = client().local_address();
    client().close();
    EXPECT_TRUE(relay().logged({address, "left in the middle of a message"}));
    EXPECT_TRUE(bystanders().undisturbed());
}

class RelayLimits : public RelayBadInput {
  protected:
    RelayOptions options() override {
        RelayOptions o = test_options();
        o.idle_timeout = 300ms;
        o.connections_per_address = 6;
        o.max_casts = 2;
        return o;
    }
};

TEST_F(RelayLimits, ConnectionThatSaysNothingIsClosedAfterTheIdleTimeOut) {
    const auto error = client().read();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->tag, "ERR");
    EXPECT_TRUE(client().closed_by_relay());
    EXPECT_TRUE(relay().logged({client().local_address(), "sent no message in time"}));
    EXPECT_TRUE(bystanders().undisturbed());
}

TEST_F(RelayLimits, FloodPastTheConnectionsPerAddressIsRefused) {
    // Three connections are open already: the bystanders' two and `client`.
    std::vector<std::unique_ptr<TestClient>> flood;
    for (int i = 0; i < 3; ++i) {
        flood.push_back(std::make_unique<TestClient>(relay().port()));
        ASSERT_TRUE(flood.back()->send(hello_message(wire::kModeWatch)));
        ASSERT_TRUE(flood.back()->read());  // ACK: admitted
    }
    for (int i = 0; i < 5; ++i) {
        TestClient extra(relay().port());
        const auto error = extra.read();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->text(), "Too many connections from your address.");
        EXPECT_TRUE(extra.closed_by_relay());
    }
    EXPECT_TRUE(relay().logged({"refused: Too many connections from your address."}));
    EXPECT_TRUE(bystanders().undisturbed());
    const std::string leaving = flood.back()->local_address();
    flood.pop_back();  // one leaves, one more may come
    ASSERT_TRUE(relay().logged({"connection from " + leaving + " closed"}));
    TestClient again(relay().port());
    EXPECT_TRUE(again.cast("again"));
}

TEST_F(RelayLimits, CastPastTheMostCastsGetsRelayIsFull) {
    ASSERT_TRUE(client().cast("second"));  // the bystanders' cast is the first
    TestClient third(relay().port());
    expect_error_and_close(third, hello_message(wire::kModeCast, "third"), "The relay is full.");
    EXPECT_TRUE(bystanders().undisturbed());
}

TEST(RelayConnectionLimit, ConnectionPastTheMaximumGetsRelayIsFull) {
    RelayOptions options = test_options();
    options.max_connections = 3;
    RunningRelay relay(options);
    Bystanders bystanders(relay.port());
    TestClient third(relay.port());
    ASSERT_TRUE(third.cast("third"));
    TestClient fourth(relay.port());
    const auto error = fourth.read();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "The relay is full.");
    EXPECT_TRUE(fourth.closed_by_relay());
    EXPECT_TRUE(relay.logged({"refused: The relay is full."}));
    EXPECT_TRUE(bystanders.undisturbed());
}

}  // namespace
}  // namespace kavro::relay::testing
