// The watch panel: the list of casts, the watch request, and the replay file the relay's data
// fills.
#include "client/client_core.h"

namespace kavro {

void ClientCore::btn_refreshClick() {
    session_.handle({Session::Event::Kind::kHello, {}, nullptr, Session::Hello::kRefresh});
}

void ClientCore::btn_watch1Click() {
    // The top data row of the selection; with no data row selected, the first one, which the
    // grid shows selected until the user picks another.
    int row = view_.selected_grid_row();
    if (row < 1 || row > static_cast<int>(grid_rows_.size())) row = 1;
    const std::string& name = grid_rows_[static_cast<std::size_t>(row - 1)][0];
    if (name.empty()) {
        view_.show_message("Caster not available.");
        return;
    }
    // Copied: a send that fails ends the connection, which may change the grid.
    const std::string chosen = name;
    handle(Session::Event::Kind::kCastChosen, chosen);
    view_.set_panel_visible(Panel::kWatch, false);
}

void ClientCore::caster_list(wire::ConstBytes payload) {
    grid_rows_ = caster_list_rows(payload, view_.decimal_separator());
    view_.show_caster_grid(caster_list_header(), grid_rows_);
    session_.handle({Session::Event::Kind::kListed, {}, &grid_rows_});
}

void ClientCore::replay_header(wire::ConstBytes payload) {
    replay_writer_.write_header(payload);
    catch_up_until_ = now() + kCatchUpHold;
    handle(Session::Event::Kind::kReplayArrived);
}

void ClientCore::replay_data(wire::ConstBytes payload) {
    replay_writer_.append_data(payload);
    handle(Session::Event::Kind::kReplayArrived);
}

}  // namespace kavro
