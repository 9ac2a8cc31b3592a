// The caster's upload of the replay the simulator is recording: once the copy holds the replay's
// 16,384-byte header it is sent as NRF0, then every complete 4,096-byte block after it as ERF0,
// in order, so the relay receives the recording byte for byte.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>

#include "wire/outbound_records.h"
#include "wire/wire_format.h"

namespace kavro {

// Relative to the client's folder, which lies directly below the simulator's.
struct CastPaths {
    std::filesystem::path source = "../data/mpr/temp_mpr.mpr";
    std::filesystem::path copy = "kavro_cast.mpr";
};

class CastStreamer {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Sends one whole record and counts it; returns false when the send failed.
    using Send = std::function<bool(std::span<const std::uint8_t>)>;

    explicit CastStreamer(CastPaths paths = {});

    // Answers at once, without waiting, whether the connection can take more bytes now.
    using CanSendMore = std::function<bool()>;

    // Blocks one tick sends at most (256 KiB), so catching up a long recording never holds the
    // caller for long; the rest follows on the next ticks, in order.
    static constexpr int kMaxBlocksPerTick = 64;
    // Bytes of the recording one tick copies at most: a first Cast during a long race takes a
    // few ticks to copy the recording instead of one long one.
    static constexpr std::uint64_t kMaxCopyPerTick = std::uint64_t{8} << 20;

    // What a tick's copy of the recording came to.
    enum class Copy {
        kNotTried,  // not casting, or the relay has not accepted the cast
        kNoSource,  // the simulator's recording does not exist (it is not recording)
        kFailed,    // the recording exists but could not be read, or the copy not written
        kDone,
    };

    // One tick of the cast step, run after each poll cycle. Does nothing unless the relay has
    // accepted the registration (`registered`) of a cast (`cast_mode`). Otherwise refreshes the
    // copy (by at most kMaxCopyPerTick bytes) and sends the header once the copy reaches 16,384
    // bytes (and nothing else in that tick), or, after the header, the blocks the copy has
    // completed since the last one sent, at most kMaxBlocksPerTick of them. Before the header and
    // before each block it asks `can_send_more`; a no ends the tick, and the next tick goes on from
    // there. A copy made afresh may be a new recording: its upload starts over, from the header.
    // While a resume offer is awaited nothing is sent; at `now` past the wait's deadline the
    // upload starts from the header.
    Copy step(bool registered, bool cast_mode, wire::OutboundRecords& records, const Send& send,
              const CanSendMore& can_send_more, TimePoint now);

    // The user's own Cast, or a relay without a usable offer: the upload starts again from the
    // header. Bytes that were in flight when an earlier connection died may never have reached
    // the relay, and a relay that restarted holds nothing; the relay takes what it already has
    // as held.
    void restart();
    // An automatic re-acceptance of the cast: nothing is uploaded until the relay's resume offer
    // arrives or `deadline` passes (then from the header, as restart()).
    void await_resume_offer(TimePoint deadline);
    // The relay's resume offer. While one is awaited, the next step checks it against the copy:
    // when the copy holds at least the offered bytes and their digest (the header as it was
    // uploaded, bytes 72 and 73 set from the track) equals the offer's, the upload continues at
    // the relay's held size; otherwise it starts from the header. Ignored when none is awaited.
    void take_resume_offer(const wire::ResumeOffer& offer);

    // True from the header's upload (or an accepted resume offer) on.
    bool header_sent() const { return phase_ == Phase::kBlocks; }
    bool awaiting_resume_offer() const { return phase_ == Phase::kAwaitingOffer; }
    // End offset in the copy of the last block sent; 0 until one was sent.
    std::int64_t last_cast_size() const { return last_cast_size_; }

  private:
    enum class Phase {
        kHeader,         // the header goes next
        kAwaitingOffer,  // nothing goes until the relay's offer or the deadline
        kBlocks,         // the blocks after last_cast_size_ go next
    };

    // Whether the copy's first `held` bytes are what the relay holds, by the offer's digest.
    bool copy_matches(const wire::ResumeOffer& offer, std::uint64_t copy_size,
                      const wire::OutboundRecords& records) const;
    void upload_header(wire::OutboundRecords& records, const Send& send);
    void upload_blocks(std::uint64_t copy_size, wire::OutboundRecords& records, const Send& send,
                       const CanSendMore& can_send_more);

    CastPaths paths_;
    Phase phase_ = Phase::kHeader;
    TimePoint offer_deadline_{};
    std::optional<wire::ResumeOffer> offer_;
    std::int64_t last_cast_size_ = 0;
};

}  // namespace kavro
