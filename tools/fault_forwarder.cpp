// kavro-fault-forwarder: a TCP forwarder to put between a client and the relay, which a test or
// the soak bench tells, at any moment, to behave like a path that goes wrong.
//
//   kavro-fault-forwarder --target HOST:PORT [--listen HOST:PORT] [--control HOST:PORT]
//                         [--rate BITS_PER_SECOND]
//
// It forwards every connection made to --listen (default 127.0.0.1:0) to --target, byte for
// byte in both directions, and prints two lines on standard output. With --rate each direction
// of each connection carries at most that many bits a second (a slow path: an uplink of
// 1000000 is a 1 Mbit/s line), and the forwarder's own receive buffers are kept small so the
// sender feels the limit as it would on such a line, not after megabytes of buffering.
// The two lines:
//   listening on 127.0.0.1:PORT
//   control on 127.0.0.1:PORT
// On the control port (default 127.0.0.1:0) it takes one command per line and answers each with
// one line, "ok N" where N is the number of connections it affected, or "error ...":
//   freeze   stop forwarding on every connection open now, keeping both sides open (a path
//            that went silent); connections made later forward as usual
//   thaw     forward again what froze, from where it stopped
//   cut      close both sides of every connection, in order (FIN), thawed or not
//   reset    the same with a reset (RST) on both sides
//   count    just count the open connections
// A connection whose target cannot be reached is closed at once. SIGINT or SIGTERM ends it.
#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

std::optional<tcp::endpoint> endpoint_of(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    boost::system::error_code error;
    const auto address = asio::ip::make_address(text.substr(0, colon), error);
    if (error) return std::nullopt;
    try {
        const int port = std::stoi(text.substr(colon + 1));
        if (port < 0 || port > 65535) return std::nullopt;
        return tcp::endpoint(address, static_cast<unsigned short>(port));
    } catch (...) {
        return std::nullopt;
    }
}

class Pair;
using Pairs = std::set<std::shared_ptr<Pair>>;

// One forwarded connection: the client's side and the target's, each read into its own buffer
// and written whole to the other before the next read.
class Pair : public std::enable_shared_from_this<Pair> {
  public:
    // `rate`: bits a second each direction carries at most; 0 for no limit.
    Pair(tcp::socket client, Pairs& pairs, std::uint64_t rate)
        : client_(std::move(client)),
          target_(client_.get_executor()),
          pairs_(pairs),
          rate_(rate),
          up_(client_.get_executor()),
          down_(client_.get_executor()) {}

    void start(const tcp::endpoint& target) {
        if (rate_ > 0) {
            // Little room in between: a sender on a slow line soon has to wait for it.
            boost::system::error_code ignored;
            client_.set_option(asio::socket_base::receive_buffer_size(kSlowBuffer), ignored);
            target_.open(target.protocol(), ignored);
            target_.set_option(asio::socket_base::receive_buffer_size(kSlowBuffer), ignored);
        }
        target_.async_connect(target, [self = shared_from_this()](boost::system::error_code e) {
            if (e) return self->close(false);
            self->pump(self->client_, self->target_, self->up_);
            self->pump(self->target_, self->client_, self->down_);
        });
    }

    void freeze() { frozen_ = true; }
    void thaw() {
        if (!frozen_) return;
        frozen_ = false;
        for (Direction* d : {&up_, &down_}) {
            if (!d->held) continue;
            d->held = false;
            d->resume();
        }
    }
    // Closes both sides at once; with `reset` each gets a reset instead of an orderly end.
    void close(bool reset) {
        if (closed_) return;
        closed_ = true;
        for (tcp::socket* s : {&client_, &target_}) {
            boost::system::error_code ignored;
            if (reset && s->is_open()) s->set_option(asio::socket_base::linger(true, 0), ignored);
            if (!reset) s->shutdown(tcp::socket::shutdown_both, ignored);
            s->close(ignored);
        }
        // The waiting writes hold the pair; let it go.
        up_.resume = nullptr;
        down_.resume = nullptr;
        up_.pace.cancel();
        down_.pace.cancel();
        pairs_.erase(shared_from_this());
    }

  private:
    static constexpr int kSlowBuffer = 16384;
    // Bytes one read takes at most on a slow line, so the pace is even.
    static constexpr std::size_t kSlowPiece = 1460;

    struct Direction {
        explicit Direction(const asio::any_io_executor& executor) : pace(executor) {}
        std::array<char, 65536> buffer{};
        bool held = false;  // a read's bytes wait for a thaw before they are written
        std::function<void()> resume;
        asio::steady_timer pace;  // on a slow line: when the next read may go
        std::chrono::steady_clock::time_point next_free{};
    };

    // On a slow line, the next read waits until the bytes written so far have had their time.
    void paced_pump(tcp::socket& from, tcp::socket& to, Direction& d, std::size_t n) {
        if (rate_ == 0) return pump(from, to, d);
        const auto now = std::chrono::steady_clock::now();
        // A wake-up that came late may make up for it within a short burst, so the line carries
        // its rate however the timers fall.
        d.next_free = std::max(d.next_free, now - std::chrono::milliseconds(50)) +
                      std::chrono::nanoseconds(n * 8 * 1000000000ULL / rate_);
        d.pace.expires_at(d.next_free);
        d.pace.async_wait(
            [this, self = shared_from_this(), &from, &to, &d](boost::system::error_code e) {
                if (e || closed_) return;
                pump(from, to, d);
            });
    }

    void pump(tcp::socket& from, tcp::socket& to, Direction& d) {
        const std::size_t piece = rate_ > 0 ? kSlowPiece : d.buffer.size();
        from.async_read_some(
            asio::buffer(d.buffer.data(), piece), [this, self = shared_from_this(), &from, &to, &d](
                                                      boost::system::error_code e, std::size_t n) {
                if (closed_) return;
                if (e) return close(false);  // one side ended: end the other, as the path would
                d.resume = [this, self, &from, &to, &d, n] {
                    asio::async_write(
                        to, asio::buffer(d.buffer.data(), n),
                        [this, self, &from, &to, &d, n](boost::system::error_code e2, std::size_t) {
                            if (closed_) return;
                            if (e2) return close(false);
                            if (frozen_) {
                                d.held = true;
                                d.resume = [this, self, &from, &to, &d] { pump(from, to, d); };
                                return;
                            }
                            paced_pump(from, to, d, n);
                        });
                };
                if (frozen_) {
                    d.held = true;
                    return;
                }
                d.resume();
            });
    }

    tcp::socket client_;
    tcp::socket target_;
    Pairs& pairs_;
    std::uint64_t rate_;
    Direction up_;
    Direction down_;
    bool frozen_ = false;
    bool closed_ = false;
};

class Forwarder {
  public:
    Forwarder(asio::io_context& io, const tcp::endpoint& listen, const tcp::endpoint& control,
              const tcp::endpoint& target, std::uint64_t rate)
        : io_(io), listener_(io, listen), control_(io, control), target_(target), rate_(rate) {}

    unsigned short port() const { return listener_.local_endpoint().port(); }
    unsigned short control_port() const { return control_.local_endpoint().port(); }

    void start() {
        accept();
        accept_control();
    }

  private:
    void accept() {
        listener_.async_accept([this](boost::system::error_code e, tcp::socket socket) {
            if (e) return;
            auto pair = std::make_shared<Pair>(std::move(socket), pairs_, rate_);
            pairs_.insert(pair);
            pair->start(target_);
            accept();
        });
    }

    void accept_control() {
        control_.async_accept([this](boost::system::error_code e, tcp::socket socket) {
            if (e) return;
            serve(std::make_shared<ControlClient>(std::move(socket)));
            accept_control();
        });
    }

    struct ControlClient {
        explicit ControlClient(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        asio::streambuf input;
        std::string answer;
    };

    void serve(std::shared_ptr<ControlClient> client) {
        asio::async_read_until(client->socket, client->input, '\n',
                               [this, client](boost::system::error_code e, std::size_t) {
                                   if (e) return;
                                   std::istream in(&client->input);
                                   std::string command;
                                   std::getline(in, command);
                                   if (!command.empty() && command.back() == '\r')
                                       command.pop_back();
                                   client->answer = run(command) + "\n";
                                   asio::async_write(
                                       client->socket, asio::buffer(client->answer),
                                       [this, client](boost::system::error_code e2, std::size_t) {
                                           if (!e2) serve(client);
                                       });
                               });
    }

    std::string run(const std::string& command) {
        const Pairs now = pairs_;  // closing a pair takes it out of pairs_
        if (command == "freeze") {
            for (const auto& p : now) p->freeze();
        } else if (command == "thaw") {
            for (const auto& p : now) p->thaw();
        } else if (command == "cut" || command == "reset") {
            for (const auto& p : now) p->close(command == "reset");
        } else if (command != "count") {
            return "error unknown command '" + command + "'";
        }
        std::fprintf(stderr, "%s: %zu connections\n", command.c_str(), now.size());
        return "ok " + std::to_string(now.size());
    }

    asio::io_context& io_;
    tcp::acceptor listener_;
    tcp::acceptor control_;
    tcp::endpoint target_;
    std::uint64_t rate_;
    Pairs pairs_;
};

int usage() {
    std::fprintf(stderr,
                 "usage: kavro-fault-forwarder --target HOST:PORT [--listen HOST:PORT] "
                 "[--control HOST:PORT] [--rate BITS_PER_SECOND]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<tcp::endpoint> target;
    std::optional<tcp::endpoint> listen = endpoint_of("127.0.0.1:0");
    std::optional<tcp::endpoint> control = endpoint_of("127.0.0.1:0");
    std::uint64_t rate = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rate") {
            try {
                std::size_t used = 0;
                const std::string text = argv[i + 1];
                rate = std::stoull(text, &used);
                if (used != text.size() || rate == 0) return usage();
            } catch (...) {
                return usage();
            }
            continue;
        }
        const auto value = endpoint_of(argv[i + 1]);
        if (!value) return usage();
        if (option == "--target") {
            target = value;
        } else if (option == "--listen") {
            listen = value;
        } else if (option == "--control") {
            control = value;
        } else {
            return usage();
        }
    }
    if (!target || argc % 2 == 0) return usage();
    try {
        asio::io_context io;
        Forwarder forwarder(io, *listen, *control, *target, rate);
        forwarder.start();
        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&io](boost::system::error_code, int) { io.stop(); });
        std::printf("listening on %s:%u\ncontrol on %s:%u\n", listen->address().to_string().c_str(),
                    forwarder.port(), control->address().to_string().c_str(),
                    forwarder.control_port());
        std::fflush(stdout);
        io.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavro-fault-forwarder: %s\n", e.what());
        return 1;
    }
    return 0;
}
