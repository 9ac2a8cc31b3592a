// One tick's reading over a real loopback connection: everything the socket holds, bounded per
// tick, each message handled once even when its handler throws.
#include "link/receive_pump.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "polling.h"
#include "temp_folder.h"
#include "wire/wire_format.h"

using kavro::ReceiveBuffer;
using kavro::ReceiveReport;
using kavro::TcpConnection;
using namespace kavro::test;
using namespace std::chrono_literals;
namespace wire = kavro::wire;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Writes every data message to a "file", as the replay writer does, and can be told to throw
// after writing one of them (a log call that fails, memory that runs out).
class WritingHandler : public kavro::MessageHandler {
  public:
    Bytes file;
    int data_messages = 0;
    int throw_after_writing = -1;  // the data message (0-based) whose handler throws
    std::vector<std::string> errors;
    std::vector<wire::ResumeOffer> offers;

    void accepted() override {}
    void refused() override {}
    void error(const std::string& text) override { errors.push_back(text); }
    void caster_list(wire::ConstBytes) override {}
    void replay_header(wire::ConstBytes payload) override {
        file.assign(payload.begin(), payload.end());
    }
    void replay_data(wire::ConstBytes payload) override {
        file.insert(file.end(), payload.begin(), payload.end());
        if (data_messages++ == throw_after_writing) throw std::runtime_error("the log failed");
    }
    void resume_offer(const wire::ResumeOffer& offer) override { offers.push_back(offer); }
};

struct Link {
    LoopbackListener listener;
    TcpConnection connection;
    PeerSocket relay;
    ReceiveBuffer buffer;

    Link() {
        connection.RemoteHost = "127.0.0.1";
        connection.RemotePort = listener.port_text();
        EXPECT_TRUE(connection.Connect());
        relay = listener.accept();
    }
};

Bytes data_message(std::size_t size, std::uint32_t seed) {
    return wire::make_message(wire::kTagReplayData, pattern_bytes(size, seed));
}

}  // namespace

TEST(ReceiveAndDispatch, AHandlerThatThrowsAfterWritingNeverWritesItsMessageTwice) {
    Link link;
    WritingHandler handler;
    handler.throw_after_writing = 1;
    Bytes stream = wire::make_message(wire::kTagReplayHeader, pattern_bytes(16384, 1));
    Bytes expected_file = pattern_bytes(16384, 1);
    for (std::uint32_t i = 0; i < 4; ++i) {
        const Bytes message = data_message(16384, 10 + i);
        stream.insert(stream.end(), message.begin(), message.end());
        const Bytes payload = pattern_bytes(16384, 10 + i);
        expected_file.insert(expected_file.end(), payload.begin(), payload.end());
    }
    link.relay.send(stream);

    bool threw = false;
    ASSERT_TRUE(wait_until([&] {
        try {
            kavro::receive_and_dispatch(link.connection, link.buffer, handler);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        return handler.data_messages >= 4 && link.buffer.count() == 0;
    }));
    // Nothing is left to handle again, however often the ticks go on.
    for (int i = 0; i < 3; ++i) kavro::receive_and_dispatch(link.connection, link.buffer, handler);
    EXPECT_TRUE(threw);
    // Each message went into the file once, in order: the one whose handler threw included.
    EXPECT_EQ(handler.data_messages, 4);
    EXPECT_EQ(handler.file, expected_file);
}

TEST(ReceiveAndDispatch, ATickReadsWhatTheSocketHoldsUpToItsBudgetAndSaysWhetherMoreWaits) {
    Link link;
    WritingHandler handler;
    // 8 MiB of data: far more than one old tick's sixteen receives, and than one budget.
    constexpr std::uint32_t kMessages = 512;
    Bytes expected_file;
    std::thread relay([&] {
        for (std::uint32_t i = 0; i < kMessages; ++i) link.relay.send(data_message(16384, i));
    });
    for (std::uint32_t i = 0; i < kMessages; ++i) {
        const Bytes payload = pattern_bytes(16384, i);
        expected_file.insert(expected_file.end(), payload.begin(), payload.end());
    }
    const kavro::ReceiveBudget budget{10s, 256 * 1024};
    std::size_t received = 0;
    std::size_t largest_tick = 0;
    bool budget_ran_out = false;
    const std::size_t total = kMessages * (16384 + wire::kHeadSize);
    ASSERT_TRUE(wait_until(
        [&] {
            const ReceiveReport report =
                kavro::receive_and_dispatch(link.connection, link.buffer, handler, budget);
            EXPECT_FALSE(report.closed);
            EXPECT_EQ(report.outcome, ReceiveBuffer::Outcome::kWaiting);
            received += report.bytes;
            largest_tick = std::max(largest_tick, report.bytes);
            budget_ran_out = budget_ran_out || !report.drained;
            return received == total;
        },
        30s));
    relay.join();
    EXPECT_EQ(handler.file, expected_file);
    EXPECT_TRUE(budget_ran_out);
    // A tick stops once its budget is spent: at most one receive past it.
    EXPECT_GE(largest_tick, budget.bytes);
    EXPECT_LE(largest_tick, budget.bytes + ReceiveBuffer::kMaxReceive);
    // With nothing left, the tick says the socket is drained.
    const ReceiveReport idle = kavro::receive_and_dispatch(link.connection, link.buffer, handler);
    EXPECT_EQ(idle.bytes, 0u);
    EXPECT_TRUE(idle.drained);
    EXPECT_FALSE(idle.closed);
}

TEST(ReceiveAndDispatch, TheMessagesBeforeACloseAreHandledAndTheCloseIsReported) {
    Link link;
    WritingHandler handler;
    const Bytes offer = wire::make_accepted_with_offer({16384 + 4096, 77});
    Bytes stream = offer;
    const Bytes data = data_message(100, 3);
    stream.insert(stream.end(), data.begin(), data.end());
    link.relay.send(stream);
    link.relay.close();
    ReceiveReport report;
    ASSERT_TRUE(wait_until([&] {
        report = kavro::receive_and_dispatch(link.connection, link.buffer, handler);
        return report.closed;
    }));
    EXPECT_EQ(handler.file, pattern_bytes(100, 3));
    EXPECT_EQ(handler.offers, (std::vector<wire::ResumeOffer>{{16384 + 4096, 77}}));
}

TEST(ReceiveAndDispatch, AnErrorEndsTheTickAndWhatFollowsItIsNotLookedAt) {
    Link link;
    WritingHandler handler;
    Bytes stream = wire::make_error("No cast named x is live.");
    const Bytes data = data_message(100, 3);
    stream.insert(stream.end(), data.begin(), data.end());
    link.relay.send(stream);
    ReceiveReport report;
    ASSERT_TRUE(wait_until([&] {
        report = kavro::receive_and_dispatch(link.connection, link.buffer, handler);
        return report.outcome != ReceiveBuffer::Outcome::kWaiting;
    }));
    EXPECT_EQ(report.outcome, ReceiveBuffer::Outcome::kEnded);
    EXPECT_EQ(handler.errors, std::vector<std::string>{"No cast named x is live."});
    EXPECT_EQ(handler.data_messages, 0);
}
