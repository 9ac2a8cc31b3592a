// The rules' view of the store: what a cast tells the data folder of its recordings, and what
// the folder tells the cast back (how much of a recording its file holds). A relay without a
// data folder has no keeper, and its casts live in memory only; the rules' tests and the
// fuzzer run that way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "relay/store/recording_map.h"
#include "relay/store/stored_blocks.h"

namespace kavro::relay {

// Who made a recording: the cast's name and track as the caster sent them, and what owns the
// cast, so that its owner may take it up again after the relay restarts: the cast's key when
// it was registered with one, else its caster's address.
struct RecordingStart {
    std::string name;
    std::string track;
    std::string owner;
    std::optional<std::string> key;
};

// Called on the disk's thread each time the file of a recording holds more blocks, synced:
// the recording's mapped file, and how many of its blocks it holds.
using FileProgress =
    std::function<void(std::shared_ptr<const RecordingMap> file, std::size_t blocks)>;

// One recording as its cast sees it in the data folder. Every call only queues work for the
// disk's thread, so the event loops never wait on the disk.
class KeptRecording {
  public:
    virtual ~KeptRecording() = default;
    virtual std::uint64_t id() const = 0;
    // The next block of the recording.
    virtual void append(const SharedBytes& block) = 0;
    // Whether the cast's caster is connected (live) or away (awaiting resume).
    virtual void caster_connected(bool connected) = 0;
    // The cast has `count` watchers now (the catalogue keeps the peak).
    virtual void watchers_now(std::size_t count) = 0;
    // The cast, registered without a key, was given one by its owner: a restart brings it
    // back owned by that key.
    virtual void keyed(const std::string& key) = 0;
    // The recording is over: it is synced and listed as finished (incomplete if a write
    // failed). No call may follow.
    virtual void finish() = 0;
};

class RecordingKeeper {
  public:
    virtual ~RecordingKeeper() = default;
    // Begins a recording made of `header_message` (an SRH message) and the blocks in `kept`
    // (those a recording carries over from the one it replaces), in that order.
    virtual std::unique_ptr<KeptRecording> begin(const RecordingStart& start,
                                                 const SharedBytes& header_message,
                                                 const StoredBlocks& kept,
                                                 FileProgress progress) = 0;
    // Carries on recording `id`, restored from the data folder at start.
    virtual std::unique_ptr<KeptRecording> resume(std::uint64_t id, FileProgress progress) = 0;
    // Whether the disk's queue has room: while it has none, the relay reads nothing more from
    // its casters (backpressure) instead of queuing without bound.
    virtual bool has_room() const { return true; }
    // Calls `resume` once (on the disk's thread) when the queue has drained to half its
    // bound; at once when it has room now.
    virtual void when_room(std::function<void()> resume) { resume(); }
};

// A recording that was live when the relay last stopped, restored from the data folder: its
// cast comes back listed, in its resume grace period.
struct RestoredRecording {
    std::uint64_t id = 0;
    RecordingStart start;
    std::chrono::system_clock::time_point started;
    SharedBytes header_message;
    std::shared_ptr<const RecordingMap> file;
    std::size_t blocks = 0;
};

}  // namespace kavro::relay
