// The cast panel (register a named cast, then upload the recording each tick) and the watch
// panel (the list of casts, the watch request, and the replay file the relay's data fills).
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QTableWidget>

#include "app/main_window.h"
#include "replay/caster_list.h"

namespace kavro {
namespace {

QString from_wire(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void set_cell(QTableWidget* grid, int row, int column, const QString& text) {
    QTableWidgetItem* item = grid->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem();
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        grid->setItem(row, column, item);
    }
    item->setText(text);
}

}  // namespace

void TForm1::btn_cast1Click() {
    if (ed_castname->text().isEmpty()) {
        show_message(QStringLiteral("Type in a cast name and choose a track."));
        return;
    }
    bg_cast->hide();
    const std::string name = ed_castname->text().toLatin1().toStdString();
    state_.records.set_cast(name, cb_track->currentText().toLatin1().toStdString());
    state_.cast_streamer.cast_as(name);
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void TForm1::cast_step() {
    state_.cast_streamer.step(state_.registered, state_.cast_mode, state_.records,
                              [this](std::span<const std::uint8_t> record) {
                                  return send_record(record);
                              });
}

void TForm1::btn_refreshClick() { send_record(state_.records.prepare_hello(state_.cast_mode)); }

void TForm1::btn_watch1Click() {
    // The top row of the selection; row 1 until the user picks another.
    const auto ranges = sg_serverlist->selectedRanges();
    int row = ranges.isEmpty() ? sg_serverlist->currentRow() : ranges.front().topRow();
    for (const auto& range : ranges) row = std::min(row, range.topRow());
    row = std::max(row, 1);
    const QTableWidgetItem* cell = sg_serverlist->item(row, 0);
    const QString name = cell == nullptr ? QString() : cell->text();
    if (name.isEmpty()) {
        show_message(QStringLiteral("Caster not available."));
        return;
    }
    send_record(state_.records.prepare_watch_request(name.toLatin1().toStdString()));
    bg_watch->hide();
}

void TForm1::update_caster_list(wire::ConstBytes payload) {
    const auto rows = caster_list_rows(payload, decimal_separator());
    const CasterRow& header = caster_list_header();
    for (int c = 0; c < 4; ++c) sg_serverlist->item(0, c)->setText(from_wire(header[c]));

    const int last_row = static_cast<int>(rows.size());
    const int current_row = sg_serverlist->currentRow();
    const int current_column = std::max(0, sg_serverlist->currentColumn());
    if (sg_serverlist->rowCount() != last_row + 1) {
        sg_serverlist->setRowCount(last_row + 1);
        // A changed row count leaves just the current cell selected, moved up when its row went.
        sg_serverlist->setCurrentCell(std::clamp(current_row, 1, last_row), current_column);
    }
    for (int r = 1; r <= last_row; ++r) {
        for (int c = 0; c < 4; ++c) set_cell(sg_serverlist, r, c, from_wire(rows[r - 1][c]));
    }
}

void TForm1::write_replay_header(wire::ConstBytes payload) { replay_writer_.write_header(payload); }

void TForm1::append_replay_data(wire::ConstBytes payload) { replay_writer_.append_data(payload); }

}  // namespace kavro
