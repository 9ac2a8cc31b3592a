// How the window draws what the client core asks for, and answers what it reads back.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>

#include "app/qt/application.h"
#include "app/qt/main_window.h"
#include "client/grid_rows.h"

namespace kavro {
namespace {

// The wire's texts are Latin-1.
QString from_wire(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string to_wire(const QString& text) { return text.toLatin1().toStdString(); }

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

void TForm1::set_panel_visible(Panel panel, bool visible) {
    (panel == Panel::kCast ? bg_cast : bg_watch)->setVisible(visible);
}

void TForm1::set_button_enabled(ModeButton button, bool enabled) {
    QPushButton* const buttons[] = {btn_cast, btn_watch, btn_stop};
    buttons[static_cast<int>(button)]->setEnabled(enabled);
}

void TForm1::add_log_line(const std::string& line) {
    debug->appendPlainText(from_wire(line));
    debug->verticalScrollBar()->setValue(debug->verticalScrollBar()->maximum());
}

void TForm1::show_message(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kMessageCaption), from_wire(text),
                    QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();  // a nested event loop: timers go on firing meanwhile
}

void TForm1::show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) {
    for (int c = 0; c < 4; ++c)
        sg_serverlist->horizontalHeaderItem(c)->setText(from_wire(header[c]));
    const GridRows shown =
        grid_rows_for(sg_serverlist->rowCount(), sg_serverlist->currentRow(), rows.size());
    if (shown.reselect) {
        const int current_column = std::max(0, sg_serverlist->currentColumn());
        sg_serverlist->setRowCount(shown.count);
        sg_serverlist->setCurrentCell(shown.current, current_column);
    }
    for (int r = 0; r < shown.count; ++r) {
        const CasterRow blank{};
        const CasterRow& row = r < static_cast<int>(rows.size()) ? rows[r] : blank;
        for (int c = 0; c < 4; ++c) set_cell(sg_serverlist, r, c, from_wire(row[c]));
    }
    fit_grid_columns();
}

void TForm1::set_meter_text(const std::string& text) {
    socket_data->setText(from_wire(text));
    socket_data->adjustSize();
}

void TForm1::set_timer(WindowTimer timer, bool enabled, int interval_ms) {
    QTimer* const t = timer == WindowTimer::kPoll ? Timer1 : Timer2;
    if (t->interval() != interval_ms) t->setInterval(interval_ms);  // restarts a running timer
    if (!enabled) {
        t->stop();
    } else if (!t->isActive()) {
        t->start();
    }
}

std::string TForm1::cast_name() const { return to_wire(ed_castname->text()); }

std::string TForm1::track_text() const { return to_wire(cb_track->currentText()); }

int TForm1::selected_grid_row() const {
    // The grid's header is its own fixed row above the table; data rows count from 1.
    const auto ranges = sg_serverlist->selectedRanges();
    if (ranges.isEmpty()) return 0;
    int top = ranges.front().topRow();
    for (const auto& range : ranges) top = std::min(top, range.topRow());
    return top + 1;
}

char TForm1::decimal_separator() const {
    const QString point = QLocale().decimalPoint();
    if (point.size() == 1 && point[0].unicode() < 0x80) return point[0].toLatin1();
    return '.';
}

}  // namespace kavro
