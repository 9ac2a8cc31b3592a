// One live cast, the room its watchers sit in. The cast knows its watchers only through the
// CastWatcher interface: it tells them when there is something new to write and when it has
// ended, and each watcher pulls from its own cursor when its socket is ready.
//
// The caster's side (the stored replay, the broadcast delay, the packet clock, the caster's
// address) is changed under the relay's shared lock. Watchers never read it: each event loop
// has its own view of the cast (the header and the released blocks, as shared immutable
// buffers, and the watchers on that loop), which only that loop touches. The cast posts its news
// (a new recording, newly released blocks, its end) to every loop, and each loop brings its view
// up to date and tells its watchers. A watcher's writes thus take no lock.
//
// With a data folder, each recording also goes to the store (through RecordingKeeper). Once
// the store says a recording's file holds some of its blocks, synced, the cast and every loop
// read those blocks from the file and let their memory copies go: memory keeps only the newest
// blocks, and a late joiner's catch-up comes from the file, through the page cache.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/base/relay_options.h"
#include "relay/cast/event_loops.h"
#include "relay/cast/packet_clock.h"
#include "relay/cast/shared_lock.h"
#include "relay/policy/recording_limits.h"
#include "relay/store/cast_store.h"
#include "relay/store/recording_keeper.h"

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
// go out as one SRD. Holding the shared buffers (and the file they may be read from) keeps
// them alive while a write uses them.
struct ReplayChunk {
    SharedBytes header_message;
    std::array<const std::uint8_t*, kBlocksPerMessage> blocks{};
    std::array<SharedBytes, kBlocksPerMessage> in_memory;
    std::shared_ptr<const RecordingMap> file;
    std::size_t block_count = 0;
    void clear();
};

// What a cast needs of the relay around it.
struct CastPlace {
    Duration broadcast_delay{};
    EventLoops& loops;
    // The relay's shared lock, under which the caster's side of every cast changes: taken when
    // the store reports back.
    SharedLock& lock;
    // Where recordings go besides memory; none without a data folder.
    RecordingKeeper* keeper = nullptr;
};

class Cast : public std::enable_shared_from_this<Cast> {
  public:
    using Clock = std::chrono::steady_clock;

    Cast(std::string name, std::uint64_t sequence, CastPlace place);

    const std::string& name() const { return name_; }
    // Creation order, the tie-break in the cast list.
    std::uint64_t sequence() const { return sequence_; }
    const std::string& track() const { return track_; }
    // The key the cast was registered with: only a registration that carries it owns the cast.
    const std::optional<std::string>& key() const { return key_; }
    void set_key(std::optional<std::string> key) { key_ = std::move(key); }
    // Its owner gave the cast, registered without a key, a key: it owns the cast from now on,
    // in the data folder too.
    void key_from_now_on(const std::string& key);
    // When the cast's last new recordings began, for --cast-recordings-per-minute.
    RecentStarts& recent_recordings() { return recent_recordings_; }
    Clock::time_point started_at() const { return started_at_; }

    // Tells a caster's connection that another has taken its cast over; it may be on any loop.
    using SendAway = std::function<void(const std::string& why)>;

    // The caster: attached while its connection is open, remembered by address for a resume.
    // The track is kept with control bytes shown as '?': it goes to the log and to every
    // watcher's list. Returns the caster's seat: only uploads from the seated caster count,
    // so a connection whose cast was taken over changes nothing while it is being closed.
    std::uint64_t attach_caster(const boost::asio::ip::address& address, std::string peer,
                                std::string_view track, SendAway send_away);
    // The caster's connection closed; the cast waits for a resume until `grace_ends`.
    void detach_caster(Clock::time_point grace_ends);
    // The attached caster is sent away, and the cast waits for the one taking it over.
    void send_caster_away(const std::string& why);
    bool caster_attached() const { return caster_attached_; }
    bool seated(std::uint64_t seat) const { return caster_attached_ && seat == seat_; }
    const boost::asio::ip::address& caster_address() const { return caster_address_; }
    const std::string& caster_peer() const { return caster_peer_; }
    // True once the caster has been gone for the whole grace period.
    bool grace_over(Clock::time_point now) const { return grace_ends_ && now >= *grace_ends_; }
    // While the caster is away: when its resume grace period ends.
    const std::optional<Clock::time_point>& grace_ends() const { return grace_ends_; }

    // On the watcher's own loop.
    void add_watcher(CastWatcher& watcher, std::size_t loop);
    void remove_watcher(CastWatcher& watcher, std::size_t loop);
    // Watchers on every loop (read from any thread, for the cast list).
    std::size_t watcher_count() const { return watcher_count_.load(std::memory_order_relaxed); }

    // A new header starts a new recording; every loop is told at once.
    void start_recording(wire::ConstBytes header);
    // Appends a block; it is released after the broadcast delay (at once without one) and
    // goes to the loops at the next publish().
    void append_block(wire::ConstBytes block, Clock::time_point now);
    // The caster re-sent block `index` and it differs from the one held: a new recording of
    // the header, the blocks before `index` (released or held back as they were) and `block`.
    void diverge_at(std::size_t index, wire::ConstBytes block, Clock::time_point now);
    // Takes up `restored`, a recording the data folder kept from before the relay restarted:
    // its cast waits for `owner` until `grace_ends`, and its blocks are released as if they
    // had arrived at `now`.
    void restore(const RestoredRecording& restored, const boost::asio::ip::address& owner,
                 Clock::time_point started_at, Clock::time_point now, Clock::time_point grace_ends);
    // The data folder's file of recording `generation` holds its blocks [0, count), synced.
    void file_holds(std::uint64_t generation, std::shared_ptr<const RecordingMap> file,
                    std::size_t count);
    // The current recording's id in the data folder; 0 without one.
    std::uint64_t recording_id() const { return recording_ ? recording_->id() : 0; }
    // Releases the blocks whose broadcast delay has passed by `now`, and publishes them.
    void release_due_blocks(Clock::time_point now);
    // Posts the blocks released since the last publish to every loop, in one piece, so a
    // caster's read of several blocks tells each watcher once.
    void publish();
    const CastStore& store() const { return store_; }
    // Header and block bytes of the current recording that watchers may have: what the
    // broadcast delay holds back is not counted, so nothing shown over HTTP runs ahead of them.
    std::size_t released_bytes() const {
        return store_.has_header() ? wire::kReplayHeaderSize + released_ * wire::kBlockSize : 0;
    }
    std::uint16_t packet_time() const { return packet_time_.load(std::memory_order_relaxed); }
    // The recording a new header (or a differing block) replaced while the broadcast delay held
    // some of it back: its watchers never get those blocks, and until the delay has passed
    // nobody else may either.
    struct Superseded {
        std::uint64_t recording_id = 0;
        std::size_t released_bytes = 0;
        Clock::time_point held_until;
    };
    const std::optional<Superseded>& superseded() const { return superseded_; }

    // The next message for a watcher on `loop` at `cursor`, advancing the cursor. False when
    // the watcher has everything that loop has been told of.
    bool next_chunk(std::size_t loop, Cursor& cursor, ReplayChunk& chunk) const;

    // Ends the cast: every block is released, even those the broadcast delay still held back,
    // and goes out; then every loop tells its watchers, who are then no longer in it.
    void end();
    bool ended() const { return ended_; }

  private:
    struct News;
    // One loop's view of the cast; touched only on that loop.
    struct LoopView {
        std::uint64_t generation = 0;
        SharedBytes header_message;
        StoredBlocks blocks;  // released blocks of the current recording
        // A plain list, cheap to walk once per news. A watcher leaves by swapping with the
        // last one; during a walk its slot is only emptied, and the list compacted after.
        std::vector<CastWatcher*> watchers;
        bool notifying = false;
        bool has_holes = false;
    };

    // Tells every loop that a new recording of the store began.
    void announce_recording();
    // Before the current recording is replaced: what of it was released, if the delay held
    // back the rest.
    void remember_superseded();
    // Hands the store's recording (if any) over to a new one made of the store's header and
    // blocks; the one it replaces is finished.
    void keep_recording();
    FileProgress progress_for(std::uint64_t generation);
    void tell_loops(std::shared_ptr<const News> news);
    void take_news(std::size_t loop, const News& news);
    static void notify(LoopView& view, bool ended);
    static void compact(LoopView& view);

    std::string name_;
    std::uint64_t sequence_;
    std::string track_;
    std::optional<std::string> key_;
    RecentStarts recent_recordings_;
    Clock::time_point started_at_ = Clock::now();
    Duration broadcast_delay_;
    EventLoops& loops_;
    SharedLock& lock_;
    RecordingKeeper* keeper_;
    std::unique_ptr<KeptRecording> recording_;
    boost::asio::ip::address caster_address_;
    std::string caster_peer_;
    bool caster_attached_ = false;
    std::uint64_t seat_ = 0;
    SendAway send_away_;
    std::optional<Clock::time_point> grace_ends_;
    bool ended_ = false;

    CastStore store_;
    std::size_t released_ = 0;                 // blocks watchers may have
    std::size_t published_ = 0;                // blocks posted to the loops
    std::deque<Clock::time_point> held_back_;  // arrival of each block not yet released
    std::optional<Superseded> superseded_;
    PacketClock packet_clock_;
    std::atomic<std::uint16_t> packet_time_{0};

    std::unique_ptr<LoopView[]> views_;
    std::atomic<std::size_t> watcher_count_{0};
};

}  // namespace kavro::relay
