// The window's controls: kinds, places, texts and initial states.
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>

#include "app/qt/main_window.h"
#include "app/window_layout.h"
#include "client/track_codes.h"

namespace kavro {
namespace {

using namespace window_layout;

QRect to_qrect(const Rect& r) { return {r.left, r.top, r.width, r.height}; }

QString text(const char* latin1) { return QString::fromLatin1(latin1); }

// Track list items drawn at a fixed height, as the drop-down is laid out for.
class FixedHeightDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kTrackItemHeight};
    }
};

QPushButton* make_button(QWidget* parent, const char* caption, const Rect& place) {
    auto* button = new QPushButton(text(caption), parent);
    button->setGeometry(to_qrect(place));
    button->setAutoDefault(false);
    return button;
}

QLabel* make_label(QWidget* parent, const char* caption, const Rect& place) {
    auto* label = new QLabel(text(caption), parent);
    label->move(place.left, place.top);
    label->adjustSize();  // labels size themselves to their text
    return label;
}

QGroupBox* make_group(QWidget* parent, const char* caption) {
    auto* group = new QGroupBox(text(caption), parent);
    group->setGeometry(to_qrect(kPanel));
    group->setAutoFillBackground(true);  // a panel hides the log beneath it
    return group;
}

// MS Sans Serif 8 pt where it exists; otherwise the system's sans serif at the same size, in
// its condensed face where there is one, since the layout was drawn for MS Sans Serif's
// narrow letters ("Packet time" has to fit a 64-pixel column).
QFont window_font() {
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    if (QFontInfo(font).family() == font.family()) return font;
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    fallback.setPointSize(8);
    fallback.setStretch(QFont::Condensed);
    return fallback;
}

}  // namespace

void TForm1::build_controls() {
    setWindowTitle(text(kCaption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    move(kWindowLeft, kWindowTop);
    setFont(window_font());
    setAutoFillBackground(true);  // the dialog face

    btn_cast = make_button(this, kCastButtonText, kCastButton);
    btn_watch = make_button(this, kWatchButtonText, kWatchButton);
    btn_stop = make_button(this, kStopButtonText, kStopButton);
    btn_stop->setEnabled(false);
    btn_about = make_button(this, kAboutButtonText, kAboutButton);
    btn_about->hide();

    // The three group boxes share one rectangle; created in this order, the cast and watch
    // panels lie over the log when shown and the log shows again when both are hidden.
    bg_debug = make_group(this, "");
    debug = new QPlainTextEdit(bg_debug);
    debug->setGeometry(to_qrect(kLog));
    debug->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    debug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    debug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    debug->setTabChangesFocus(true);  // editable, but Tab moves on to the next control
    for (const char* line : kLogLines) debug->appendPlainText(text(line));

    bg_cast = make_group(this, kCastPanelText);
    bg_cast->hide();
    lbl_castname = make_label(bg_cast, kCastNameLabelText, kCastNameLabel);
    ed_castname = new QLineEdit(bg_cast);
    ed_castname->setGeometry(to_qrect(kCastNameEdit));
    ed_castname->setMaxLength(kCastNameMaxLength);
    lbl_track = make_label(bg_cast, kTrackLabelText, kTrackLabel);
    lbl_track->hide();
    cb_track = new QComboBox(bg_cast);
    cb_track->setGeometry(to_qrect(kTrackChooser));
    cb_track->setItemDelegate(new FixedHeightDelegate(cb_track));
    cb_track->setMaxVisibleItems(kTrackItemsVisible);
    for (const char* code : kTrackCodes) cb_track->addItem(QString::fromLatin1(code));
    cb_track->setCurrentIndex(-1);
    cb_track->hide();
    btn_cast1 = make_button(bg_cast, kCastStartButtonText, kCastStartButton);

    bg_watch = make_group(this, kWatchPanelText);
    bg_watch->hide();
    build_grid();
    btn_watch1 = make_button(bg_watch, kWatchStartButtonText, kWatchStartButton);
    btn_refresh = make_button(bg_watch, kRefreshButtonText, kRefreshButton);

    socket_data = make_label(this, kMeterText, kMeter);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    Timer2 = new QTimer(this);
    Timer2->setInterval(1000);

    QWidget::setTabOrder(btn_cast, btn_watch);
    QWidget::setTabOrder(btn_watch, debug);
    QWidget::setTabOrder(debug, btn_stop);
    QWidget::setTabOrder(btn_stop, btn_about);
    QWidget::setTabOrder(btn_about, ed_castname);
    QWidget::setTabOrder(ed_castname, cb_track);
    QWidget::setTabOrder(cb_track, btn_cast1);
    QWidget::setTabOrder(btn_cast1, btn_watch1);
    QWidget::setTabOrder(btn_watch1, btn_refresh);
    QWidget::setTabOrder(btn_refresh, sg_serverlist);
}

// The caster grid: a fixed header row above the data rows, which scroll beneath it. The header
// is the grid's own heading, so it can never be selected or become the current row.
void TForm1::build_grid() {
    sg_serverlist = new QTableWidget(1, kGridColumns, bg_watch);
    sg_serverlist->setGeometry(to_qrect(kCasterGrid));
    QHeaderView* header = sg_serverlist->horizontalHeader();
    header->setFixedHeight(kGridRowHeight);
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    sg_serverlist->verticalHeader()->hide();
    sg_serverlist->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    sg_serverlist->verticalHeader()->setMinimumSectionSize(kGridRowHeight);
    sg_serverlist->verticalHeader()->setDefaultSectionSize(kGridRowHeight);
    sg_serverlist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sg_serverlist->setSelectionMode(QAbstractItemView::ContiguousSelection);
    sg_serverlist->setTabKeyNavigation(false);  // Tab leaves the grid
    sg_serverlist->setWordWrap(false);
    sg_serverlist->setTextElideMode(Qt::ElideNone);  // a long name is clipped
    for (int c = 0; c < kGridColumns; ++c) {
        sg_serverlist->setColumnWidth(c, kGridColumnWidths[c]);
        sg_serverlist->setHorizontalHeaderItem(c, new QTableWidgetItem());
        auto* item = new QTableWidgetItem();
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        sg_serverlist->setItem(0, c, item);
    }
    sg_serverlist->setCurrentCell(0, 0);
    fit_grid_columns();
}

void TForm1::fit_grid_columns() {
    const int frame = 2 * sg_serverlist->frameWidth();
    const int rows_height = sg_serverlist->rowCount() * kGridRowHeight;
    const int view_height = sg_serverlist->height() - frame - kGridRowHeight;
    const int bar = rows_height > view_height
                        ? sg_serverlist->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr,
                                                              sg_serverlist)
                        : 0;
    int total = 0;
    for (const int width : kGridColumnWidths) total += width;
    const int overflow = std::max(0, total - (sg_serverlist->width() - frame - bar));
    sg_serverlist->setColumnWidth(0, kGridColumnWidths[0] - overflow);
}

}  // namespace kavro
