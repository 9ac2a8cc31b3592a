#include "replay/cast_streamer.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>
#include <vector>

#include "replay/cast_copy.h"
#include "replay/shared_file.h"

namespace kavro {
namespace {

constexpr std::int64_t kHeaderSize = static_cast<std::int64_t>(wire::kReplayHeaderSize);
constexpr std::int64_t kBlockSize = static_cast<std::int64_t>(wire::kBlockSize);

// The track code's third character is the track's number ("BL1r" -> 1); a fourth character
// 'r' marks the reversed layout. A zero third byte means no track was chosen.
void set_track_bytes(std::span<std::uint8_t> data,
                     std::span<const std::uint8_t, wire::kTrackWidth> track) {
    if (track[2] != 0) {
        data[wire::kReplayTrackNumberOffset] = static_cast<std::uint8_t>(track[2] - '0');
    }
    if (track[3] == 'r') data[wire::kReplayReversedOffset] = 1;
}

}  // namespace

CastStreamer::CastStreamer(CastPaths paths) : paths_(std::move(paths)) {}

void CastStreamer::restart() {
    phase_ = Phase::kHeader;
    offer_.reset();
    last_cast_size_ = 0;
}

void CastStreamer::await_resume_offer(TimePoint deadline) {
    restart();
    phase_ = Phase::kAwaitingOffer;
    offer_deadline_ = deadline;
}

void CastStreamer::take_resume_offer(const wire::ResumeOffer& offer) {
    if (phase_ == Phase::kAwaitingOffer) offer_ = offer;
}

bool CastStreamer::copy_matches(const wire::ResumeOffer& offer, std::uint64_t copy_size,
                                const wire::OutboundRecords& records) const {
    if (offer.held_bytes < wire::kReplayHeaderSize || copy_size < offer.held_bytes) return false;
    SharedFile copy(open_shared(paths_.copy, "rb"));
    if (!copy) return false;
    std::vector<std::uint8_t> head(wire::kReplayHeaderSize);
    if (std::fread(head.data(), 1, head.size(), copy.get()) != head.size()) return false;
    // The relay holds the header as it was uploaded, with the track's bytes set.
    set_track_bytes(head, records.hello_track());
    std::vector<std::uint8_t> tail;
    if (offer.held_bytes > wire::kReplayHeaderSize) {
        tail.resize(wire::kBlockSize);
        if (!seek_to(copy.get(), offer.held_bytes - wire::kBlockSize) ||
            std::fread(tail.data(), 1, tail.size(), copy.get()) != tail.size()) {
            return false;
        }
    }
    return wire::resume_digest(head, tail) == offer.digest;
}

CastStreamer::Copy CastStreamer::step(bool registered, bool cast_mode,
                                      wire::OutboundRecords& records, const Send& send,
                                      const CanSendMore& can_send_more, TimePoint now) {
    if (!registered || !cast_mode) return Copy::kNotTried;
    const std::optional<RefreshedCopy> copied =
        refresh_copy(paths_.source, paths_.copy, kMaxCopyPerTick);
    if (!copied) {
        std::error_code error;
        return std::filesystem::exists(paths_.source, error) || error ? Copy::kFailed
                                                                      : Copy::kNoSource;
    }
    // Nothing sent of the copy before applies to one made afresh, whatever its size: a new
    // recording streamed on from the old one's offsets would mix two races in one file.
    if (copied->made_afresh) restart();

    if (phase_ == Phase::kAwaitingOffer) {
        if (offer_) {
            const bool matches = copy_matches(*offer_, copied->size, records);
            const std::uint64_t held = offer_->held_bytes;
            restart();
            if (matches) {
                // The relay holds this recording up to `held`: only what follows goes.
                phase_ = Phase::kBlocks;
                last_cast_size_ = static_cast<std::int64_t>(held);
            }
        } else if (now >= offer_deadline_) {
            restart();  // a relay that offers nothing: from the header, as always
        } else {
            return Copy::kDone;
        }
    }
    if (phase_ == Phase::kHeader) {
        if (copied->size >= wire::kReplayHeaderSize && can_send_more()) {
            upload_header(records, send);
        }
    } else {
        upload_blocks(copied->size, records, send, can_send_more);
    }
    return Copy::kDone;
}

void CastStreamer::upload_header(wire::OutboundRecords& records, const Send& send) {
    const std::span<std::uint8_t, wire::kHeaderUploadDataSize> data = records.header_data();
    {
        SharedFile copy(open_shared(paths_.copy, "rb"));
        if (!copy) return;  // the copy vanished since the refresh: try again next tick
        // What the copy does not reach is zero, never a previous header's bytes.
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        std::fread(data.data(), 1, data.size(), copy.get());
        if (std::ferror(copy.get())) return;
    }
    set_track_bytes(data, records.hello_track());
    if (send(records.prepare_header_upload())) phase_ = Phase::kBlocks;
}

void CastStreamer::upload_blocks(std::uint64_t copy_size, wire::OutboundRecords& records,
                                 const Send& send, const CanSendMore& can_send_more) {
    auto position = static_cast<std::uint64_t>(std::max(last_cast_size_, kHeaderSize));
    if (position + wire::kBlockSize > copy_size) return;  // no complete block yet

    SharedFile copy(open_shared(paths_.copy, "rb"));
    if (!copy || !seek_to(copy.get(), position)) return;
    const std::span<std::uint8_t, wire::kBlockSize> data = records.block_data();
    for (int sent = 0; sent < kMaxBlocksPerTick && position + wire::kBlockSize <= copy_size;
         ++sent, position += wire::kBlockSize) {
        if (!can_send_more()) return;  // a full socket would hold the tick: go on next tick
        if (std::fread(data.data(), 1, data.size(), copy.get()) != data.size()) return;
        if (!send(records.prepare_block_upload())) return;  // resend this block next tick
        last_cast_size_ = static_cast<std::int64_t>(position) + kBlockSize;
    }
}

}  // namespace kavro
