// One live cast, the room its watchers sit in. The cast knows its watchers only through the
// CastWatcher interface: it tells them when there is something new to write and when it has
// ended, and each watcher pulls from its own cursor when its socket is ready.
#pragma once

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "relay/cast_store.h"
#include "relay/packet_clock.h"
#include "relay/relay_options.h"

namespace kavro::relay {

class CastWatcher {
  public:
    // A new header, or blocks newly released to watchers.
    virtual void cast_has_news() = 0;
    // The cast is over; the watcher is already removed from it.
    virtual void cast_ended() = 0;

  protected:
    ~CastWatcher() = default;

  private:
    friend class Cast;
    std::size_t cast_slot_ = 0;  // the watcher's index in its cast's list
};

// A watcher's position in the stored replay: the recording it has the header of (0: none yet)
// and the next block of that recording it needs.
struct Cursor {
    std::uint64_t generation = 0;
    std::size_t next_block = 0;
};

inline constexpr std::size_t kBlocksPerMessage = wire::kMaxReplayDataPayload / wire::kBlockSize;

// One message's worth of stored replay: the SRH message, or up to four consecutive blocks to
// go out as one SRD. Holding the shared buffers keeps them alive while a write uses them.
struct ReplayChunk {
    SharedBytes header_message;
    std::array<SharedBytes, kBlocksPerMessage> blocks;
    std::size_t block_count = 0;
    void clear();
};

class Cast : public std::enable_shared_from_this<Cast> {
  public:
    using Clock = std::chrono::steady_clock;

    Cast(boost::asio::any_io_executor executor, std::string name, std::uint64_t sequence,
         Duration broadcast_delay);

    const std::string& name() const { return name_; }
    // Creation order, the tie-break in the cast list.
    std::uint64_t sequence() const { return sequence_; }
    const std::string& track() const { return track_; }
    Clock::time_point started_at() const { return started_at_; }

    // The caster: attached while its connection is open, remembered by address for a resume.
    void attach_caster(const boost::asio::ip::address& address, std::string track);
    void detach_caster() { caster_attached_ = false; }
    bool caster_attached() const { return caster_attached_; }
    const boost::asio::ip::address& caster_address() const { return caster_address_; }
    boost::asio::steady_timer& grace_timer() { return grace_timer_; }
    // While the caster is away: when its resume grace period ends.
    Clock::time_point grace_ends() const { return grace_timer_.expiry(); }

    void add_watcher(CastWatcher& watcher);
    void remove_watcher(CastWatcher& watcher);
    std::size_t watcher_count() const { return watcher_count_; }

    // A new header starts a new recording; watchers are told at once.
    void start_recording(wire::ConstBytes header);
    // Appends a block; watchers get it after the broadcast delay.
    void append_block(wire::ConstBytes block, Clock::time_point now);
    const CastStore& store() const { return store_; }
    std::uint16_t packet_time() const { return packet_clock_.tenths(); }

    // The next message for a watcher at `cursor`, advancing the cursor. False when the
    // watcher has everything released so far.
    bool next_chunk(Cursor& cursor, ReplayChunk& chunk) const;

    // Ends the cast: stops its timers and tells every watcher, who are then no longer in it.
    void end();
    bool ended() const { return ended_; }

  private:
    void notify_watchers();
    void compact_watchers();
    void arm_release_timer();
    void release_due_blocks();

    std::string name_;
    std::uint64_t sequence_;
    std::string track_;
    Clock::time_point started_at_ = Clock::now();
    Duration broadcast_delay_;
    boost::asio::ip::address caster_address_;
    bool caster_attached_ = false;
    bool ended_ = false;

    CastStore store_;
    std::size_t released_ = 0;                 // blocks watchers may have
    std::deque<Clock::time_point> held_back_;  // arrival of each block not yet released
    bool release_timer_armed_ = false;
    PacketClock packet_clock_;

    // A plain list, cheap to walk once per block. A watcher leaves by swapping with the last
    // one; during a walk its slot is only emptied, and the list compacted after the walk.
    std::vector<CastWatcher*> watchers_;
    std::size_t watcher_count_ = 0;
    bool notifying_ = false;
    bool has_holes_ = false;
    boost::asio::steady_timer release_timer_;
    boost::asio::steady_timer grace_timer_;
};

}  // namespace kavro::relay
