// One of the relay server's event loops, as the server's own files see it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <thread>

#include "relay/cast/relay_core.h"
#include "relay/transport/network_server.h"
#include "relay/transport/throughput_meter.h"

namespace kavro::relay {

struct NetworkServer::Loop {
    explicit Loop(boost::asio::io_context& context)
        : io(context), tick_timer(context), stop_timer(context) {}
    std::unique_ptr<boost::asio::io_context> owned;  // every loop's but the first
    boost::asio::io_context& io;
    std::unique_ptr<RelayCore> relay;
    ThroughputMeter throughput;  // of this loop's relay clients, sampled by its tick
    boost::asio::steady_timer tick_timer;
    boost::asio::steady_timer stop_timer;  // when a stop closes whatever is left
    bool stopped = false;  // once stopped, the tick re-arms only while connections are left
    std::thread thread;
};

}  // namespace kavro::relay
