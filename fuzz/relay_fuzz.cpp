// Fuzzes the whole relay: the real rules (RelayCore, Connection, the casts) driven by several
// in-process fake clients from three addresses, with a fake clock. The input is a script of
// client actions; after each, everything the clients are willing to take flows both ways, and
// these must hold:
// - every stream a client receives parses, and nothing at all follows an ERR;
// - no replay data before a replay header; each watcher's replay is byte-exact: after each
//   SRH, a prefix of one recording the harness's model says the cast held, none of it before
//   the broadcast delay has passed while the cast was live, nothing the relay refused or
//   dropped. The model follows the resume rules on its own: a caster's upload position, a
//   header equal to the held one matching the blocks re-sent after it, a block that differs
//   starting a new recording of the header, the blocks before it and that block;
// - after every upload, the relay's store has the recording and size the model predicts;
// - the owner of a cast takes it over from a connection still open, which is sent away, and is
//   never refused it: for a cast registered with a key ("a#k1"), whoever gives that key, from
//   any address; for one without, its caster's address. Nobody else ever takes it;
// - a registration with a wrong key for a keyed cast gets ERR and is closed, and its address
//   waits a pause (1 s, doubling, up to 5 minutes) in which every attempt at a keyed name is
//   refused at once, the owner's key too; the pause is the model's to the nanosecond, the
//   owner's key is never refused outside one, and an owner who gives a key to its cast without
//   one owns it by that key from then on;
// - a cast starts at most --cast-recordings-per-minute new recordings (a new header, or a block
//   that differs from the one held) in any minute, and an address at most
//   --address-recordings-per-hour in any hour; one more gets ERR, closes its connection and
//   changes nothing the cast holds;
// - no listed name holds a key, a soft hyphen or a byte of 0x80-0x9F, no two live names are
//   the same once case, runs of spaces and accents are folded, and no address holds more
//   watchers than its limit;
// - a watcher that keeps reading has every block released to it once the relay is quiet, and
//   a watcher of a cast that ended has the cast's whole recording before the relay's goodbye;
// - no log line and no list entry's track holds a control byte;
// - the connection caps hold, and the relay's count per address matches the connections it
//   let in; once every client has gone, the relay counts none;
// - a message left unfinished for the idle time-out ends its connection.
//
// Recordings are self-describing: the header is a pattern of its number, each block a pattern
// of its own number and index, so a watcher's bytes can be checked without a copy.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/cast/connection.h"
#include "relay/cast/relay_core.h"
#include "relay/policy/cast_names.h"
#include "relay/policy/key_pauses.h"
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

// A header starts with its number, a block with its number and index.
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

Bytes block_upload(std::uint32_t number, std::uint32_t index) {
    Bytes m = tagged(wire::kTagBlockUpload, wire::kBlockUploadSize);
    const Bytes b = block_of(number, index);
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
    std::size_t to_hello_mode = 0;            // bytes until a raw hello's mode byte
    Bytes received;                           // not yet parsed
    bool got_error = false;
    std::string error_text;
    bool just_accepted = false;  // the last message parsed was ACK0OK
    // As a caster: the cast it registered, and the stored block its next upload stands for.
    std::shared_ptr<Cast> casting;
    std::size_t position = 0;
    // As a watcher: the recordings its stream since the last SRH may be a prefix of.
    std::vector<std::size_t> candidates;
    bool had_header = false;
    std::size_t next_block = 0;
};

// An address's key pause, as the model keeps it: wrong keys looked at since it was last
// forgotten, and when the pause after the last one ends.
struct Pause {
    std::uint32_t refusals = 0;
    Clock::time_point ends{};
};

// Who owns a cast, as the model saw it made: the key it was registered with, and its caster's
// address.
struct Owner {
    std::optional<std::string> key;
    std::size_t address = 0;
};

// A recording as the model says the relay holds it: the header's number and, for each block,
// the number its bytes were made from and when the relay first got it.
struct Recording {
    std::shared_ptr<Cast> cast;
    std::uint32_t header = 0;
    std::vector<std::uint32_t> blocks;
    std::vector<Clock::time_point> arrived;
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
        // Inside the closing window of finish(), which moves the clock 45 s in all.
        options_.stall_timeout = std::chrono::seconds(8);
        options_.resume_grace = std::chrono::seconds(5);
        options_.keepalive_interval = std::chrono::seconds(3);
        options_.broadcast_delay = delayed ? std::chrono::seconds(2) : Duration::zero();
        // Small, so that scripts reach them; the clock moves up to 25.5 s a step.
        options_.cast_recordings_per_minute = 2;
        options_.address_recordings_per_hour = 5;
        relay_ = std::make_unique<RelayCore>(
            rule_settings(options_),
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
            check_names_and_watchers();
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
        static constexpr std::array<const char*, 10> kNames{"a", "b", "a#k1",  "a#k2",    "b#k1",
                                                            "A", "c", "a #k1", "\xC1#k1", "a\xAD"};
        const std::uint8_t choice = script.next();
        if (choice % 12 < 10) return kNames[choice % 12];
        return script.text(script.next() % 33);
    }

    void step(Script& script) {
        switch (script.next() % 13) {
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
                if (c && !c->wild) register_cast(*c, n, track);
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
                for (int i = 0; i < count && c; ++i) upload_block(*c, false);
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
            case 11:  // the caster uploads its recording again, from the header
                reupload_header(pick(script));
                break;
            case 12:  // the caster's next block is not the one the relay holds there
                if (Client* c = pick(script)) upload_block(*c, true);
                break;
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

    // Raw bytes never spell an upload tag, so every replay byte comes from a recording, nor a
    // caster's hello, so every cast's caster is one the model follows.
    void send_raw(Client& c, const std::string& raw) {
        c.wild = true;
        for (char ch : raw) {
            std::uint8_t byte = static_cast<std::uint8_t>(ch);
            const std::string window{static_cast<char>(c.last_sent[0]),
                                     static_cast<char>(c.last_sent[1]),
                                     static_cast<char>(c.last_sent[2]), static_cast<char>(byte)};
            if (window == "NRF0" || window == "ERF0") byte = '1';
            if (c.to_hello_mode > 0 && --c.to_hello_mode == 0 && byte == wire::kModeCast) {
                byte = 2;  // a bad mode instead
            }
            if (window == "CCN0") c.to_hello_mode = wire::kHelloModeOffset - 3;
            c.last_sent = {c.last_sent[1], c.last_sent[2], byte};
            c.to_send.push_back(byte);
        }
    }

    // Whether `c` may send structured messages now: everything it sent before was read, so
    // what the relay does with the next one can be seen right after.
    bool settled(Client& c) {
        if (c.wild) return false;
        c.stalled = false;
        flow();
        return c.all_sent() && !c.connection->closed() && !c.connection->finishing();
    }

    // The cast `c` is the seated caster of by the model, or none.
    std::shared_ptr<Cast> seated_cast(Client& c) {
        if (!c.casting || c.casting->ended() || c.connection->role().casting != c.casting) {
            return nullptr;
        }
        return c.casting;
    }

    Recording* recording_of(const std::shared_ptr<Cast>& cast) {
        const auto it = current_.find(cast);
        return it == current_.end() ? nullptr : &recordings_[it->second];
    }

    // A cast hello, seen through: whom the relay seats, and whom it sends away.
    void register_cast(Client& c, const std::string& typed, const std::string& track) {
        if (!settled(c)) return;
        const Bytes message = hello(wire::kModeCast, typed, track);
        // The name as the relay reads it: up to the first zero byte, then split at its key.
        const TypedCastName claim = split_cast_name(
            wire::read_text_field(message, wire::kHelloNameOffset, wire::kNameWidth));
        const std::string& name = claim.name;
        const bool was_casting = c.connection->role().casting != nullptr;
        const auto live = relay_->casts().find(name);
        const auto owner = live ? owners_.find(live) : owners_.end();
        const bool known = owner != owners_.end();
        const bool owns = known && (owner->second.key ? claim.key == owner->second.key
                                                      : owner->second.address == c.address);
        // An attempt at a key: the live cast of that name has one, and the claim carries one.
        const bool key_attempt =
            !was_casting && !cast_name_problem(name) && known && owner->second.key && claim.key;
        Pause& pause = pauses_[c.address];
        const bool paused = key_attempt && now_ < pause.ends;
        Client* holder = nullptr;  // the connection casting this name now, by the model
        if (live) {
            for (Client& other : clients_) {
                if (other.casting == live && seated_cast(other) && !other.connection->closed() &&
                    !other.connection->finishing()) {
                    holder = &other;
                }
            }
        }
        send(c, message);
        flow();
        const auto& cast = c.connection->role().casting;
        const bool closing = c.connection->closed() || c.connection->finishing();
        if (paused) {
            if (cast || !closing || c.error_text.rfind("Too many wrong keys", 0) != 0) {
                fault("an attempt at a key during its address's pause was not refused at once");
            }
            return;
        }
        if (key_attempt && !owns) {
            if (cast || !closing || c.error_text != "Wrong key for this cast.") {
                fault("a wrong key did not get ERR and close its connection");
            }
            expect_pause(c.address, pause);
            return;
        }
        if (!key_attempt && c.error_text.rfind("Too many wrong keys", 0) == 0) {
            fault("a registration that tries no key was held by a key pause");
        }
        if (was_casting || !cast) {
            if (holder && owns && !cast_name_problem(name) && !was_casting &&
                !c.connection->closed()) {
                fault("the owner of a cast was refused it");
            }
            return;
        }
        if (cast == live && known && !owns) {
            fault("a cast was taken by a caster who does not own it");
        }
        if (holder) {
            if (!holder->connection->finishing() && !holder->connection->closed()) {
                fault("a taken-over connection was not sent away");
            }
        }
        if (cast != live) owners_.emplace(cast, Owner{claim.key, c.address});
        // The owner of a cast without a key gave one: the key owns it from now on.
        if (cast == live && known && !owner->second.key && claim.key) {
            owner->second.key = claim.key;
            if (cast->key() != claim.key) fault("a key given on resume did not key the cast");
        }
        c.casting = cast;
        const Recording* held = recording_of(cast);
        c.position = held ? held->blocks.size() : 0;
    }

    // A wrong key was looked at and refused at now_: the relay's pause for the address is the
    // next of 1 s, 2 s, 4 s, ... 5 min, counted afresh once the address was quiet for
    // KeyPauses::kForgetAfter past its last pause (the relay may forget it then, or later).
    void expect_pause(std::size_t address, Pause& pause) {
        const auto ip = boost::asio::ip::make_address("10.0.0." + std::to_string(address + 1));
        const auto left = relay_->shared().key_pauses.pause_left(ip, now_);
        const auto pause_after = [](std::uint32_t refusals) {
            return std::min<Duration>(KeyPauses::kFirstPause * (1u << std::min(refusals, 9u)),
                                      KeyPauses::kLongestPause);
        };
        const bool may_be_forgotten =
            pause.refusals > 0 && now_ >= pause.ends + KeyPauses::kForgetAfter;
        if (left && *left == pause_after(pause.refusals)) {
            ++pause.refusals;
        } else if (left && may_be_forgotten && *left == pause_after(0)) {
            pause.refusals = 1;
        } else {
            fault("a wrong key's pause is not the next of 1 s, 2 s, 4 s ... 5 min");
        }
        pause.ends = now_ + *left;
    }

    // Whether the model lets `address` start a new recording of `cast` now; if so, counted.
    bool may_start_recording(const std::shared_ptr<Cast>& cast, std::size_t address) {
        const auto in_window = [&](std::deque<Clock::time_point>& starts, Duration window) {
            while (!starts.empty() && now_ - starts.front() >= window) starts.pop_front();
            return starts.size();
        };
        auto& of_cast = cast_starts_[cast];
        auto& of_address = address_starts_[address];
        if (in_window(of_cast, std::chrono::minutes(1)) >= options_.cast_recordings_per_minute ||
            in_window(of_address, std::chrono::hours(1)) >= options_.address_recordings_per_hour) {
            return false;
        }
        of_cast.push_back(now_);
        of_address.push_back(now_);
        return true;
    }

    void expect_recording_refused(Client& c, const std::shared_ptr<Cast>& cast) {
        if (cast->ended() || !(c.connection->closed() || c.connection->finishing()) ||
            c.error_text != "Too many new recordings; try again later.") {
            fault("a new recording past its limits was not refused with ERR");
        }
        check_store(cast);
    }

    // A new recording: a header no caster sent before. The model changes before the upload
    // goes (watchers may get it while it is let through), and the relay must then agree.
    void upload_header(Client* c) {
        if (!c || !settled(*c)) return;
        const std::uint32_t number = ++last_number_;
        const auto cast = seated_cast(*c);
        const bool allowed = cast && may_start_recording(cast, c->address);
        if (cast && allowed) {
            recordings_.push_back(Recording{cast, number, {}, {}});
            current_[cast] = recordings_.size() - 1;
            ++generation_[cast];
            c->position = 0;
        }
        send(*c, header_upload(number));
        flow();
        if (!cast) return;  // a protocol error: nothing changes
        if (!allowed) return expect_recording_refused(*c, cast);
        expect_kept(*c, cast);
        check_store(cast);
    }

    // The header the cast holds, again: the blocks that follow are matched from the start.
    void reupload_header(Client* c) {
        if (!c || !settled(*c)) return;
        const auto cast = seated_cast(*c);
        const Recording* held = cast ? recording_of(cast) : nullptr;
        if (!held) return;
        send(*c, header_upload(held->header));
        flow();
        expect_kept(*c, cast);
        c->position = 0;
        check_store(cast);
    }

    // The block at the caster's position: the one the model holds there (or a new one past the
    // end), or with `differ` one the relay cannot hold.
    void upload_block(Client& c, bool differ) {
        if (!settled(c)) return;
        const auto cast = seated_cast(c);
        Recording* held = cast ? recording_of(cast) : nullptr;
        if (!held) {
            // Number 0 is in no recording: the relay must drop or refuse the block.
            send(c, block_upload(0, static_cast<std::uint32_t>(c.position)));
            flow();
            if (cast) check_store(cast);
            return;
        }
        const std::size_t at = c.position;
        const bool matches = at < held->blocks.size() && !differ;
        const std::uint32_t number = matches ? held->blocks[at] : ++last_number_;
        const bool too_large =
            at >= held->blocks.size() &&
            wire::kReplayHeaderSize + (held->blocks.size() + 1) * wire::kBlockSize >
                options_.max_replay_bytes;
        const bool diverges = !matches && at < held->blocks.size();
        const bool allowed = !diverges || may_start_recording(cast, c.address);
        if (!allowed) {
            send(c, block_upload(number, static_cast<std::uint32_t>(at)));
            flow();
            return expect_recording_refused(c, cast);
        }
        if (!matches && !too_large) {
            if (at < held->blocks.size()) {
                // A new recording of the header, the blocks before this one, and this one.
                Recording next = *held;
                next.blocks.resize(at);
                next.arrived.resize(at);
                recordings_.push_back(std::move(next));
                current_[cast] = recordings_.size() - 1;
                ++generation_[cast];
                held = &recordings_.back();
            }
            held->blocks.push_back(number);
            held->arrived.push_back(now_);
        }
        send(c, block_upload(number, static_cast<std::uint32_t>(at)));
        flow();
        if (too_large) {
            if (!cast->ended() || !c.connection->finishing()) {
                fault("a block past the per-cast limit did not end the cast");
            }
            return;
        }
        expect_kept(c, cast);
        c.position = at + 1;
        check_store(cast);
    }

    void expect_kept(Client& c, const std::shared_ptr<Cast>& cast) {
        if (cast->ended() || c.connection->closed() || c.connection->finishing()) {
            fault("an upload from the seated caster ended its connection or cast");
        }
    }

    // The relay's store holds what the model says: the same recording (its generation moves
    // exactly when the model starts one) with the same blocks.
    void check_store(const std::shared_ptr<Cast>& cast) {
        const Recording* held = recording_of(cast);
        const CastStore& store = cast->store();
        if (store.generation() != generation_[cast]) {
            fault("the relay's recordings and the model's went apart");
        }
        if (!held) return;
        if (store.block_count() != held->blocks.size()) fault("the relay holds other blocks");
        for (std::size_t i = 0; i < held->blocks.size(); ++i) {
            if (number_in(store.block(i), 0) != held->blocks[i]) {
                fault("a held block differs from the model's");
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
        if (conn.read_pending && leaving && !c.gone) check_whole_tail(c);
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
                c.just_accepted = ack == "ACK0OK";
                at += 6;
                continue;
            }
            if (rest.size() < wire::kHeadSize) break;
            const std::size_t total = wire::kHeadSize + wire::payload_length(rest);
            if (rest.size() < total) break;
            if (rest[3] != '0') fault("head's fourth byte is not '0'");
            const std::string tag(rest.begin(), rest.begin() + 3);
            message(c, tag, rest.subspan(wire::kHeadSize, total - wire::kHeadSize));
            c.just_accepted = false;
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
            c.error_text = text;
        } else if (tag == "KAL") {
            // A keep-alive is empty, but for the resume offer a returning caster gets right
            // behind its acceptance: a whole offer of a header and whole blocks.
            if (!payload.empty()) {
                if (!c.just_accepted) fault("KAL with a payload not right behind ACK0OK");
                if (wire::decode_resume_offer(payload).status != wire::ResumeOfferStatus::kComplete)
                    fault("KAL with a payload that is not a resume offer");
            }
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
            const std::uint32_t number = number_in(payload, 0);
            const Bytes expected =
                number == 0 || number > last_number_ ? Bytes{} : header_of(number);
            if (!std::equal(payload.begin(), payload.end(), expected.begin(), expected.end())) {
                fault("SRH is not a header any caster uploaded");
            }
            c.candidates.clear();
            for (std::size_t i = 0; i < recordings_.size(); ++i) {
                if (recordings_[i].header == number) c.candidates.push_back(i);
            }
            if (c.candidates.empty()) fault("SRH of a header the model holds in no recording");
            c.had_header = true;
            c.next_block = 0;
        } else if (tag == "SRD") {
            if (!c.had_header) fault("SRD before any SRH");
            if (payload.empty() || payload.size() % wire::kBlockSize != 0 ||
                payload.size() > wire::kMaxReplayDataPayload) {
                fault("SRD size");
            }
            for (std::size_t at = 0; at < payload.size(); at += wire::kBlockSize) {
                const std::size_t index = c.next_block++;
                const auto block = payload.subspan(at, wire::kBlockSize);
                const std::uint32_t number = number_in(block, 0);
                const Bytes expected = block_of(number, static_cast<std::uint32_t>(index));
                if (!std::equal(expected.begin(), expected.end(), block.begin())) {
                    fault("SRD block out of order or not byte-exact");
                }
                // The recordings this stream may be of: those holding this block here, released
                // by now (at once once the cast ended).
                std::erase_if(c.candidates, [&](std::size_t i) {
                    const Recording& r = recordings_[i];
                    return index >= r.blocks.size() || r.blocks[index] != number ||
                           (!r.cast->ended() && now_ < r.arrived[index] + options_.broadcast_delay);
                });
                if (c.candidates.empty()) {
                    fault("SRD block no recording holds there, or one before its delay");
                }
            }
        } else {
            fault("unknown message " + tag);
        }
    }

    // Whether `c`'s stream since its last SRH is the whole of recording `index`.
    bool has_all_of(const Client& c, std::size_t index) const {
        return std::find(c.candidates.begin(), c.candidates.end(), index) != c.candidates.end() &&
               c.next_block == recordings_[index].blocks.size();
    }

    // The relay says goodbye to the watcher of a cast that ended only after its whole stream.
    void check_whole_tail(const Client& c) {
        const auto& cast = c.connection->watching();
        if (!cast || !cast->ended() || c.got_error || c.wild) return;
        const auto it = current_.find(cast);
        if (it != current_.end() && !has_all_of(c, it->second)) {
            fault("a watcher of an ended cast was let go before its whole stream");
        }
    }

    void check_names_and_watchers() {
        std::map<std::string, std::string> comparable;
        for (const auto& [name, cast] : relay_->casts().casts()) {
            if (name.find('#') != std::string::npos) fault("a listed name holds a key");
            for (const char ch : name) {
                const auto byte = static_cast<unsigned char>(ch);
                if (byte == 0xAD || (byte >= 0x80 && byte <= 0x9F)) {
                    fault("a listed name holds a soft hyphen or a byte of 0x80-0x9F");
                }
            }
            if (!comparable.emplace(comparable_name(name), name).second) {
                fault("two live names are the same once folded: " + name);
            }
        }
        std::array<std::size_t, 3> watching{};
        for (const Client& c : clients_) {
            const auto& conn = *c.connection;
            if (c.admitted && !conn.closed() && !conn.finishing() && conn.watching()) {
                ++watching[c.address];
            }
        }
        for (const std::size_t count : watching) {
            if (count > options_.watchers_per_address) {
                fault("more watchers from one address than its limit");
            }
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
            if (!cast || !cast->store().has_header() || !recording_of(cast)) continue;
            if (!has_all_of(c, current_[cast])) {
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
    std::unique_ptr<RelayCore> relay_;
    std::vector<Client> clients_;
    std::vector<Recording> recordings_;  // every recording any cast held, oldest first
    std::map<std::shared_ptr<Cast>, std::size_t> current_;       // each cast's recording now
    std::map<std::shared_ptr<Cast>, std::uint64_t> generation_;  // recordings each cast began
    std::map<std::shared_ptr<Cast>, Owner> owners_;
    std::array<Pause, 3> pauses_{};
    std::map<std::shared_ptr<Cast>, std::deque<Clock::time_point>> cast_starts_;
    std::array<std::deque<Clock::time_point>, 3> address_starts_{};
    std::uint32_t last_number_ = 0;  // of headers and blocks, each new one different
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Script script(data + 1, size - 1);
    Harness harness(data[0] & 1);
    harness.run(script);
    return 0;
}
