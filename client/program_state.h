// The client's program-wide values: created once at start (zero or false), living as long as
// the program. Connecting and disconnecting reset only what their handlers say they reset.
#pragma once

#include <cstdint>
#include <utility>

#include "client/throughput_meter.h"
#include "link/receive_buffer.h"
#include "replay/cast_streamer.h"
#include "wire/outbound_records.h"

namespace kavro {

struct ProgramState {
    explicit ProgramState(CastPaths cast_paths = {}) : cast_streamer(std::move(cast_paths)) {}

    bool cast_mode = false;           // true after "Cast LFS", false after "Watch LFS"
    bool registered = false;          // the relay accepted our last CCN0 on this connection
    std::int32_t bytes_sent = 0;      // since the last meter tick
    std::int32_t bytes_received = 0;  // since the last meter tick

    wire::OutboundRecords records;
    ReceiveBuffer receive_buffer;
    CastStreamer cast_streamer;
    ThroughputMeter meter;
};

}  // namespace kavro
