// The cast panel: register a named cast, then upload the recording each tick.
#include "client/client_core.h"

namespace kavro {

void ClientCore::btn_cast1Click() {
    const std::string name = view_.cast_name();
    if (name.empty()) {
        view_.show_message("Type in a cast name and choose a track.");
        return;
    }
    view_.set_panel_visible(Panel::kCast, false);
    state_.records.set_cast(name, view_.track_text());
    session_.handle({Session::Event::Kind::kHello, {}, nullptr, Session::Hello::kStart});
}

void ClientCore::cast_step() {
    // A tick never sends into a full socket: what the relay has not taken yet waits for the next.
    // How long the upload has found no room is what tells a frozen path from a slow one.
    const CastStreamer::Copy copy = state_.cast_streamer.step(
        state_.registered, state_.cast_mode, state_.records,
        [this](std::span<const std::uint8_t> record) {
            const bool sent = send_record(record);
            if (sent) upload_blocked_since_.reset();
            return sent;
        },
        [this] {
            const bool room = link_.writable();
            if (!room && !upload_blocked_since_) upload_blocked_since_ = now();
            return room;
        },
        now());
    report_copy(copy);
}

void ClientCore::report_copy(CastStreamer::Copy copy) {
    if (copy == CastStreamer::Copy::kFailed) copy_notice_.failed();
    if (copy == CastStreamer::Copy::kDone) copy_notice_.worked();
}

}  // namespace kavro
