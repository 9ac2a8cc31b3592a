// Fuzzes the whole relay: the real rules (Relay, Connection, the casts) driven by several
// in-process fake clients from three addresses, with a fake clock. The input is a script of
// client actions; after each, everything the clients are willing to take flows both ways, and
// these must hold:
// - every stream a client receives parses, and nothing at all follows an ERR;
// - no replay data before a replay header; each watcher's replay is byte-exact: the header
//   of a recording a caster uploaded, then exactly that recording's accepted blocks in order,
//   none before the broadcast delay has passed, none that the relay refused or dropped;
// - a watcher that keeps reading has every block released to it once the relay is quiet;
// - no log line and no list entry's track holds a control byte;
// - the connection caps hold, and the relay's count per address matches the connections it
//   let in; once every client has gone, the relay counts none;
// - a message left unfinished for the idle time-out ends its connection;
// - a cast registered with a key ("a#k1") is only ever cast by a connection that gave that
//   key, from any address; one without a key only from the address that started it; no listed
//   name holds the key, and no two live names differ only in case or runs of spaces;
// - no address holds more watchers than its limit.
//
// Recordings are self-describing: the header and each block are a pattern of the recording's
// number (and the block's index), so a watcher's bytes can be checked without a copy.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/rules/address_limits.h"
#include "relay/rules/cast_names.h"
#include "relay/rules/connection.h"
#include "relay/rules/relay.h"
#include "wire/wire_format.h"

namespace {

using namespace kavro;
using namespace kavro::relay;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "relay invariant broken: %s\n", what.c_str());
    std::abort();
}

bool has_control_byte(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

// Reads the script front to back; zeros once it is used up.
class Script {
  public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    std::string text(std::size_t n) {
        std::string out;
        while (n-- > 0 && !done()) out += static_cast<char>(next());
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The harness's own byte patterns need no coverage feedback; leaving them out keeps runs fast.
#define KAVRO_NO_COVERAGE __attribute__((no_sanitize("coverage")))

KAVRO_NO_COVERAGE std::uint8_t pattern(std::uint32_t recording, std::uint32_t block,
                                       std::size_t i) {
    std::uint32_t x = recording * 2654435761u ^ (block + 1) * 40503u ^
                      static_cast<std::uint32_t>(i) * 2246822519u;
    x ^= x >> 15;
    return static_cast<std::uint8_t>(x ^ (x >> 9));
}

// A header starts with its recording's number, a block with its recording's number and index.
KAVRO_NO_COVERAGE Bytes header_of(std::uint32_t recording) {
    Bytes h(wire::kReplayHeaderSize);
    for (std::size_t i = 8; i < h.size(); ++i) h[i] = pattern(recording, 0xFFFFFFFF, i);
    wire::put_u16le(h, 0, static_cast<std::uint16_t>(recording));
    wire::put_u16le(h, 2, static_cast<std::uint16_t>(recording >> 16));
    return h;
}

KAVRO_NO_COVERAGE Bytes block_of(std::uint32_t recording, std::uint32_t index) {
    Bytes b(wire::kBlockSize);
    for (std::size_t i = 8; i < b.size(); ++i) b[i] = pattern(recording, index, i);
    wire::put_u16le(b, 0, static_cast<std::uint16_t>(recording));
    wire::put_u16le(b, 2, static_cast<std::uint16_t>(recording >> 16));
    wire::put_u16le(b, 4, static_cast<std::uint16_t>(index));
    wire::put_u16le(b, 6, static_cast<std::uint16_t>(index >> 16));
    return b;
}

std::uint32_t number_in(wire::ConstBytes bytes, std::size_t offset) {
    return wire::get_u16le(bytes, offset) |
           (std::uint32_t{wire::get_u16le(bytes, offset + 2)} << 16);
}

Bytes tagged(std::string_view tag, std::size_t size) {
    Bytes m(size, 0);
    std::copy(tag.begin(), tag.end(), m.begin());
    return m;
}

Bytes hello(std::uint8_t mode, const std::string& name, const std::string& track) {
    Bytes m = tagged(wire::kTagHello, wire::kHelloSize);
    wire::put_u16le(m, wire::kHelloLengthOffset, wire::kHelloLengthValue);
    m[wire::kHelloModeOffset] = mode;
    wire::put_text_field(m, wire::kHelloVersionOffset, wire::kVersionWidth, wire::kClientVersion);
    wire::put_text_field(m, wire::kHelloNameOffset, wire::kNameWidth, name);
    std::copy_n(track.begin(), std::min<std::size_t>(track.size(), 4),
                m.begin() + wire::kHelloTrackOffset);
    return m;
}

Bytes watch_request(const std::string& name) {
    Bytes m = tagged(wire::kTagWatchRequest, wire::kWatchRequestSize);
    wire::put_text_field(m, wire::kWatchRequestNameOffset, wire::kNameWidth, name);
    return m;
}

Bytes header_upload(std::uint32_t recording) {
    Bytes m = tagged(wire::kTagHeaderUpload, wire::kHeaderUploadSize);
    const Bytes h = header_of(recording);
    std::copy(h.begin(), h.end(), m.begin() + wire::kUploadDataOffset);
    const Bytes first = block_of(recording, 0);
    std::copy_n(first.begin(), 2, m.begin() + wire::kUploadDataOffset + h.size());
    return m;
}

Bytes block_upload(std::uint32_t recording, std::uint32_t index) {
    Bytes m = tagged(wire::kTagBlockUpload, wire::kBlockUploadSize);
    const Bytes b = block_of(recording, index);
    std::copy(b.begin(), b.end(), m.begin() + wire::kUploadDataOffset);
    return m;
}

// The transport of a fake client: holds what the relay asks for until the harness serves it.
class FakeConnection final : public Connection {
  public:
    using Connection::Connection;
    std::span<std::uint8_t> read_into;
    bool read_pending = false;
    Bytes written;
    bool write_pending = false;
    bool send_shut = false;
    bool transport_closed = false;

  private:
    void start_read(std::span<std::uint8_t> into) override {
        read_into = into;
        read_pending = true;
    }
    void start_write(std::span<const wire::ConstBytes> pieces) override {
        written.clear();
        for (const auto& piece : pieces) written.insert(written.end(), piece.begin(), piece.end());
        write_pending = true;
    }
    void shutdown_send() override { send_shut = true; }
    void close_transport() override { transport_closed = true; }
};

struct Client {
    std::shared_ptr<FakeConnection> connection;
    std::size_t address = 0;
    bool admitted = false;  // by the harness's own reading of the caps
    std::size_t piece = 1;  // bytes per read the client's data arrives in
    bool stalled = false;   // not reading what the relay writes
    bool wild = false;      // has sent raw bytes: only raw bytes from now on
    bool gone = false;      // has closed its side
    bool holding_partial = false;
    std::optional<Clock::time_point> partial_since;
    Bytes to_send;
    std::size_t sent = 0;  // of to_send, already read by the relay
    bool all_sent() const { return sent == to_send.size(); }
    std::array<std::uint8_t, 3> last_sent{};  // the tail of a wild client's stream
    Bytes received;                           // not yet parsed
    bool got_error = false;
    std::optional<std::uint32_t> recording;  // of the last SRH
    std::uint32_t next_block = 0;
    std::string cast_name;  // as typed in the last registration sent
};

// Who started a cast, as the harness saw it first cast: its key, and its caster's address.
struct Owner {
    std::optional<std::string> key;
    std::size_t address = 0;
};

// What a cast has accepted, as the harness saw its caster's uploads handled.
struct Recorded {
    std::uint32_t recording = 0;
    std::uint32_t blocks = 0;
};

class Harness {
  public:
    explicit Harness(bool delayed) {
        options_.max_connections = 8;
        options_.connections_per_address = 3;
        options_.max_casts = 3;
        options_.casts_per_address = 1;
        options_.watchers_per_address = 2;
        options_.max_replay_bytes = wire::kReplayHeaderSize + 6 * wire::kBlockSize;
        options_.idle_timeout = std::chrono::seconds(10);
        options_.stall_timeout = std::chrono::seconds(8);
        options_.resume_grace = std::chrono::seconds(5);
        options_.keepalive_interval = std::chrono::seconds(3);
        options_.broadcast_delay = delayed ? std::chrono::seconds(2) : Duration::zero();
        relay_ = std::make_unique<Relay>(
            options_,
            [](const std::string& line) {
                if (has_control_byte(line)) fault("log line with a control byte: " + line);
            },
            [this] { return now_; });
    }

    void run(Script& script) {
        while (!script.done() && clients_.size() < 40) {
            step(script);
            flow();
            check_caps();
            check_owners();
        }
        finish();
    }

  private:
    Client* pick(Script& script) {
        if (clients_.empty()) return nullptr;
        Client& c = clients_[script.next() % clients_.size()];
        return c.gone || c.holding_partial ? nullptr : &c;
    }

    std::string name(Script& script) {
        static constexpr std::array<const char*, 8> kNames{"a",    "b", "a#k1", "a#k2",
                                                           "b#k1", "A", "c",    "a #k1"};
        const std::uint8_t choice = script.next();
        if (choice % 10 < 8) return kNames[choice % 10];
        return script.text(script.next() % 33);
    }

    void step(Script& script) {
        switch (script.next() % 11) {
            case 0: {
                const std::size_t address = script.next() % 3;
                connect(address, script.next());
                break;
            }
            case 1:
                structured(script, hello(wire::kModeWatch, "", ""));
                break;
            case 2: {
                Client* c = pick(script);
                const std::string n = name(script);
                const std::string track = script.text(4);
                if (c && !c->wild) {
                    send(*c, hello(wire::kModeCast, n, track));
                    // As the relay reads the field: its width, up to the first zero byte.
                    const std::string field = n.substr(0, wire::kNameWidth);
                    c->cast_name = field.substr(0, field.find('\0'));
                }
                break;
            }
            case 3: {
                Client* c = pick(script);
                const std::string n = name(script);
                if (c && !c->wild) send(*c, watch_request(n));
                break;
            }
            case 4:
                upload_header(pick(script));
                break;
            case 5: {
                Client* c = pick(script);
                const int count = script.next() % 8 + 1;
                for (int i = 0; i < count && c; ++i) upload_block(*c);
                break;
            }
            case 6: {
                Client* c = pick(script);
                const std::string raw = script.text(script.next());
                if (c) send_raw(*c, raw);
                break;
            }
            case 7:
                if (Client* c = pick(script)) c->stalled = !c->stalled;
                break;
            case 8:
                if (Client* c = pick(script)) c->gone = true;
                break;
            case 9:
                now_ += std::chrono::milliseconds(100) * script.next();
                relay_->tick(now_);
                flow();
                check_partial_time_outs();
                break;
            case 10: {
                Client* c = pick(script);
                const std::uint8_t which = script.next();
                const std::uint8_t cut = script.next();
                if (!c || c->wild) break;
                Bytes m = which % 2 ? watch_request("a") : block_upload(0, 0);
                m.resize(1 + cut % (m.size() - 1));
                send(*c, m);
                c->holding_partial = true;
                break;
            }
        }
    }

    void connect(std::size_t address, std::uint8_t piece_choice) {
        static constexpr std::array<std::size_t, 5> kPieces{1, 7, 64, 4100, 20000};
        const std::string host = "10.0.0." + std::to_string(address + 1);
        Client c;
        c.address = address;
        c.piece = kPieces[piece_choice % kPieces.size()];
        c.connection = std::make_shared<FakeConnection>(
            *relay_, Peer{boost::asio::ip::make_address(host),
                          host + ":" + std::to_string(5000 + clients_.size())});
        // The caps, counted independently: open connections in all and from this address.
        std::size_t open = 0, from_address = 0;
        for (const Client& other : clients_) {
            if (!other.admitted || other.connection->closed()) continue;
            ++open;
            if (other.address == address) ++from_address;
        }
        c.admitted =
            open < options_.max_connections && from_address < options_.connections_per_address;
        clients_.push_back(std::move(c));
        relay_->admit(clients_.back().connection);
    }

    void structured(Script& script, const Bytes& message) {
        if (Client* c = pick(script); c && !c->wild) send(*c, message);
    }

    void send(Client& c, const Bytes& message) {
        c.to_send.insert(c.to_send.end(), message.begin(), message.end());
    }

    // Raw bytes never spell an upload tag, so every replay byte comes from a recording.
    void send_raw(Client& c, const std::string& raw) {
        c.wild = true;
        for (char ch : raw) {
            std::uint8_t byte = static_cast<std::uint8_t>(ch);
            const std::string window{static_cast<char>(c.last_sent[0]),
                                     static_cast<char>(c.last_sent[1]),
                                     static_cast<char>(c.last_sent[2]), static_cast<char>(byte)};
            if (window == "NRF0" || window == "ERF0") byte = '1';
            c.last_sent = {c.last_sent[1], c.last_sent[2], byte};
            c.to_send.push_back(byte);
        }
    }

    // Sends an upload and lets it through at once, then reads from the relay's state whether
    // the cast kept it: still the caster of the same cast, and not being closed.
    void upload_header(Client* c) {
        if (!c || c->wild) return;
        c->stalled = false;
        const std::uint32_t recording = ++last_recording_;
        send(*c, header_upload(recording));
        flow();
        const auto& cast = c->connection->role().casting;
        if (cast && !c->connection->closed() && !c->connection->finishing()) {
            recorded_[cast] = Recorded{recording, 0};
            accepted_at_[recording].clear();
        }
    }

    void upload_block(Client& c) {
        if (c.wild) return;
        c.stalled = false;
        const std::shared_ptr<Cast> cast = c.connection->role().casting;
        const auto model = cast ? recorded_.find(cast) : recorded_.end();
        // Without a recording under way the block carries recording 0, which no watcher
        // may ever see: the relay must drop or refuse it.
        const bool has_recording = model != recorded_.end();
        const std::uint32_t recording = has_recording ? model->second.recording : 0;
        const std::uint32_t index = has_recording ? model->second.blocks : 0;
        // Counted before it goes, since watchers may get it while it is let through; taken
        // back if the cast did not keep it, and then no watcher may have it.
        if (has_recording) {
            ++model->second.blocks;
            accepted_at_[recording].push_back(now_);
        }
        send(c, block_upload(recording, index));
        flow();
        const bool kept = c.connection->role().casting == cast && !c.connection->closed() &&
                          !c.connection->finishing();
        if (has_recording && !kept) {
            --model->second.blocks;
            accepted_at_[recording].pop_back();
            for (const Client& other : clients_) {
                if (other.recording == recording && other.next_block > index) {
                    fault("a watcher got a block the cast did not keep");
                }
            }
        }
    }

    // Serves reads and writes until nothing moves.
    void flow() {
        for (bool moved = true; moved;) {
            moved = false;
            for (std::size_t i = 0; i < clients_.size(); ++i) moved |= serve(clients_[i]);
        }
    }

    bool serve(Client& c) {
        FakeConnection& conn = *c.connection;
        if (conn.transport_closed) return false;
        if (conn.read_pending && !c.all_sent() && !c.gone) {
            const std::size_t n =
                std::min({c.piece, c.to_send.size() - c.sent, conn.read_into.size()});
            std::memcpy(conn.read_into.data(), c.to_send.data() + c.sent, n);
            c.sent += n;
            if (c.all_sent()) {
                c.to_send.clear();
                c.sent = 0;
                if (c.holding_partial && !c.partial_since) c.partial_since = now_;
            }
            conn.read_pending = false;
            conn.read_done(n);
            return true;
        }
        if (conn.write_pending && !c.stalled && !c.gone) {
            Bytes bytes;
            bytes.swap(conn.written);
            conn.write_pending = false;
            take(c, bytes);
            conn.write_done();
            return true;
        }
        // A client closes its side when it leaves, or once the relay has said goodbye.
        const bool leaving = c.gone || (conn.send_shut && !c.stalled && c.all_sent());
        if (conn.read_pending && leaving) {
            conn.read_pending = false;
            conn.read_failed(true, "end of stream");
            return true;
        }
        return false;
    }

    void take(Client& c, const Bytes& bytes) {
        if (c.got_error && !bytes.empty()) fault("bytes after ERR");
        c.received.insert(c.received.end(), bytes.begin(), bytes.end());
        const Bytes& r = c.received;
        std::size_t at = 0;
        for (;;) {
            const wire::ConstBytes rest = wire::ConstBytes(r).subspan(at);
            if (rest.size() >= 4 && std::equal(rest.begin(), rest.begin() + 4, "ACK0")) {
                if (rest.size() < 6) break;
                const std::string ack(rest.begin(), rest.begin() + 6);
                if (ack != "ACK0OK" && ack != "ACK0NO") fault("bad acknowledgement " + ack);
                at += 6;
                continue;
            }
            if (rest.size() < wire::kHeadSize) break;
            const std::size_t total = wire::kHeadSize + wire::payload_length(rest);
            if (rest.size() < total) break;
            if (rest[3] != '0') fault("head's fourth byte is not '0'");
            const std::string tag(rest.begin(), rest.begin() + 3);
            message(c, tag, rest.subspan(wire::kHeadSize, total - wire::kHeadSize));
            at += total;
            if (c.got_error && at != r.size()) fault("bytes after ERR");
        }
        c.received.erase(c.received.begin(), c.received.begin() + static_cast<std::ptrdiff_t>(at));
    }

    void message(Client& c, const std::string& tag, wire::ConstBytes payload) {
        if (tag == "ERR") {
            if (payload.empty() || payload.back() != 0) fault("ERR text not zero-terminated");
            const std::string text(payload.begin(), payload.end() - 1);
            if (text.find('\0') != std::string::npos || has_control_byte(text)) {
                fault("ERR text with control bytes");
            }
            c.got_error = true;
        } else if (tag == "KAL") {
            if (!payload.empty()) fault("KAL with a payload");
        } else if (tag == "CHL") {
            const std::size_t n = wire::caster_entry_count(payload);
            if (payload.size() != 2 + n * wire::kCasterEntrySize) fault("CHL length");
            for (std::size_t i = 0; i < n; ++i) {
                if (has_control_byte(wire::read_caster_entry(payload, i).track)) {
                    fault("track with a control byte in the list");
                }
            }
        } else if (tag == "SRH") {
            if (payload.size() != wire::kReplayHeaderSize) fault("SRH size");
            const std::uint32_t recording = number_in(payload, 0);
            const Bytes expected =
                recording == 0 || recording > last_recording_ ? Bytes{} : header_of(recording);
            if (!std::equal(payload.begin(), payload.end(), expected.begin(), expected.end())) {
                fault("SRH is not a header any caster uploaded");
            }
            c.recording = recording;
            c.next_block = 0;
        } else if (tag == "SRD") {
            if (!c.recording) fault("SRD before any SRH");
            if (payload.empty() || payload.size() % wire::kBlockSize != 0 ||
                payload.size() > wire::kMaxReplayDataPayload) {
                fault("SRD size");
            }
            const auto& accepted = accepted_at_[*c.recording];
            for (std::size_t at = 0; at < payload.size(); at += wire::kBlockSize) {
                const std::uint32_t index = c.next_block++;
                if (index >= accepted.size()) fault("SRD block the cast never accepted");
                const Bytes expected = block_of(*c.recording, index);
                if (!std::equal(expected.begin(), expected.end(),
                                payload.begin() + static_cast<std::ptrdiff_t>(at))) {
                    fault("SRD block out of order or not byte-exact");
                }
                if (now_ < accepted[index] + options_.broadcast_delay) {
                    fault("SRD block before the broadcast delay");
                }
            }
        } else {
            fault("unknown message " + tag);
        }
    }

    void check_caps() {
        if (relay_->connection_count() > options_.max_connections)
            fault("more connections than the maximum");
        for (std::size_t address = 0; address < 3; ++address) {
            std::size_t open = 0;
            for (const Client& c : clients_) {
                if (c.admitted && c.address == address && !c.connection->closed()) ++open;
            }
            const auto ip = boost::asio::ip::make_address("10.0.0." + std::to_string(address + 1));
            if (open > options_.connections_per_address) fault("per-address cap broken");
            if (relay_->connections_from(ip) != open)
                fault("per-address count differs from the connections let in");
        }
    }

    // Every live cast is cast only by whoever owns it, under a listed name with no key, and
    // the watchers per address keep to their limit. (A keyed cast may be taken over into an
    // address that already holds its casts, so that limit is tested over real sockets.)
    void check_owners() {
        std::map<std::string, std::string> comparable;
        for (const auto& [name, cast] : relay_->casts().casts()) {
            if (name.find('#') != std::string::npos) fault("a listed name holds a key");
            const auto [it, fresh] = comparable.emplace(comparable_name(name), name);
            if (!fresh) fault("two live names differ only in case or spaces: " + name);
        }
        std::array<std::size_t, 3> watching{};
        for (const Client& c : clients_) {
            const auto& conn = *c.connection;
            if (!c.admitted || conn.closed()) continue;
            if (conn.watching() && !conn.finishing()) ++watching[c.address];
            const auto& cast = c.connection->role().casting;
            if (!cast || conn.finishing()) continue;
            const TypedCastName typed = split_cast_name(c.cast_name);
            const auto [owner, first] = owners_.emplace(cast, Owner{typed.key, c.address});
            if (first) continue;
            if (owner->second.key ? typed.key != owner->second.key
                                  : c.address != owner->second.address) {
                fault("a cast was taken over by a caster who does not own it");
            }
        }
        for (std::size_t address = 0; address < 3; ++address) {
            if (watching[address] > options_.watchers_per_address) {
                fault("more watchers from one address than its limit");
            }
        }
    }

    void check_partial_time_outs() {
        for (const Client& c : clients_) {
            if (!c.partial_since || now_ - *c.partial_since < options_.idle_timeout) continue;
            if (!c.connection->closed() && !c.connection->finishing()) {
                fault("a message left unfinished outlived the idle time-out");
            }
        }
    }

    // Lets the relay go quiet, checks that readers have everything, then every client leaves.
    void finish() {
        for (int i = 0; i < 2; ++i) {
            now_ += options_.broadcast_delay + std::chrono::milliseconds(1);
            relay_->tick(now_);
            flow();
        }
        for (Client& c : clients_) {
            const auto& conn = *c.connection;
            if (c.stalled || c.gone || c.wild || conn.closed() || conn.finishing()) continue;
            const auto& cast = c.connection->watching();
            if (!cast || !cast->store().has_header()) continue;
            const auto model = recorded_.find(cast);
            if (model == recorded_.end()) continue;
            if (c.recording != model->second.recording || c.next_block != model->second.blocks) {
                fault("a reading watcher is missing released blocks");
            }
        }
        for (Client& c : clients_) {
            c.gone = true;
            c.stalled = false;
        }
        for (int i = 0; i < 3; ++i) {
            now_ += options_.resume_grace + options_.idle_timeout;
            relay_->tick(now_);
            flow();
        }
        if (relay_->connection_count() != 0) fault("connections left after every client went");
        check_caps();
        // Every address may open its whole allowance again.
        for (std::size_t address = 0; address < 3; ++address) {
            const std::size_t before = clients_.size();
            for (std::size_t i = 0; i < options_.connections_per_address; ++i) connect(address, 0);
            for (std::size_t i = before; i < clients_.size(); ++i) {
                if (clients_[i].connection->closed() || clients_[i].connection->finishing()) {
                    fault("a fresh connection was refused after every client went");
                }
                clients_[i].gone = true;
            }
            flow();
            check_caps();
        }
        relay_->stop();
    }

    RelayOptions options_;
    Clock::time_point now_{std::chrono::hours(1)};
    std::unique_ptr<Relay> relay_;
    std::vector<Client> clients_;
    std::map<std::shared_ptr<Cast>, Recorded> recorded_;
    std::map<std::shared_ptr<Cast>, Owner> owners_;
    std::map<std::uint32_t, std::vector<Clock::time_point>> accepted_at_;
    std::uint32_t last_recording_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Script script(data + 1, size - 1);
    Harness harness(data[0] & 1);
    harness.run(script);
    return 0;
}
