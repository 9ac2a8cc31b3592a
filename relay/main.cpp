// kavro-relay: forwards live LFS replay casts from their casters to their watchers.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "relay/base/relay_log.h"
#include "relay/base/relay_options.h"
#include "relay/net/open_file_limit.h"
#include "relay/store/data_folder.h"
#include "relay/transport/network_server.h"

int main(int argc, char** argv) {
    using namespace kavro::relay;
    RelayOptions options;
    if (const auto exit_code = parse_command_line(argc, argv, options)) return *exit_code;

    // A log read through a pipe that closes must not end the relay; sockets never raise it.
    std::signal(SIGPIPE, SIG_IGN);
    const auto file_limit = raise_open_file_limit();
    // Lines go through a bounded queue to a thread of their own: a log nobody reads holds up
    // nothing.
    AsyncLog async_log;
    const LogSink log = async_log.sink();
    const auto cannot_start = [&](const std::string& why) {
        log("kavro-relay cannot start: " + why);
    };

    // A file-size limit (ulimit -f) then fails a write, which the store survives, instead of
    // killing the relay.
    std::signal(SIGXFSZ, SIG_IGN);

    boost::asio::io_context io(1);
    std::unique_ptr<NetworkServer> made;
    try {
        made = std::make_unique<NetworkServer>(io, options, log);
    } catch (const DataFolderError& e) {
        cannot_start(e.what());
        return 2;
    } catch (const boost::system::system_error& e) {
        // Its what() names Boost's source lines; the operator gets the reason alone.
        cannot_start(e.code().message());
        return 1;
    } catch (const std::exception& e) {
        cannot_start(e.what());
        return 1;
    }
    NetworkServer& server = *made;
    try {
        server.start();
    } catch (const boost::system::system_error& e) {
        cannot_start(e.code().message());
        return 1;
    } catch (const std::exception& e) {
        cannot_start(e.what());
        return 1;
    }
    // Signals are caught before the relay says where it listens, so whoever starts it and stops
    // it at once (a test, a service manager) gets a clean stop. SIGHUP reads the reserved names,
    // the bans and the admin token again.
    boost::asio::signal_set reload(io, SIGHUP);
    std::function<void()> wait_for_reload = [&] {
        reload.async_wait([&](const boost::system::error_code& error, int) {
            if (error) return;
            server.reload();
            wait_for_reload();
        });
    };
    wait_for_reload();
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& error, int signal_number) {
        if (error) return;
        log("stopping on signal " + std::to_string(signal_number));
        reload.cancel();
        server.stop();
    });
    std::printf("listening on %s\n", endpoint_text(server.local_endpoint()).c_str());
    if (server.serves_http()) {
        std::printf("http on %s\n", endpoint_text(server.http_endpoint()).c_str());
    }
    if (server.serves_admin()) {
        std::printf("admin on %s\n", endpoint_text(server.admin_endpoint()).c_str());
    }
    std::fflush(stdout);
    log("relay listening on " + endpoint_text(server.local_endpoint()) + " with " +
        std::to_string(server.loop_count()) + " event loop(s), open-file limit " +
        std::to_string(file_limit));
    if (server.serves_http()) {
        log("status page, casts.json, metrics and healthz on http://" +
            endpoint_text(server.http_endpoint()) + "/");
    }
    if (server.serves_admin()) {
        log("admin API on http://" + endpoint_text(server.admin_endpoint()) + "/admin/");
    }
    if (!options.trusted_proxies.empty()) {
        std::string trusted;
        for (const auto& network : options.trusted_proxies) {
            trusted += (trusted.empty() ? "" : ", ") + network.text();
        }
        log("trusted proxies (they name their clients): " + trusted);
    }

    io.run();
    made.reset();  // joins the other loops and syncs and closes the data folder
    return 0;
}
