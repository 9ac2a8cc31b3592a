#include "app/qt/main_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/qt/application.h"
#include "app/window_layout.h"
#include "gui_test_support.h"
#include "layout_checks.h"

using namespace kavro;
using namespace kavro::test;
namespace layout = kavro::window_layout;

namespace {

// The window checks for ../LFS.exe relative to the working directory.
struct Window {
    TForm1 form{RelayAddress{"127.0.0.1", "1"}};
};

QRect rect(const layout::Rect& r) { return {r.left, r.top, r.width, r.height}; }

}  // namespace

TEST(MainWindow, StartsIdleWithEveryControlInPlace) {
    SimulatorInstall install;
    Window w;
    TForm1& f = w.form;
    EXPECT_EQ(f.windowTitle(), "KAVRO");
    EXPECT_EQ(f.size(), QSize(layout::kClientWidth, layout::kClientHeight));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_EQ(f.pos(), QPoint(layout::kWindowLeft, layout::kWindowTop));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);

    struct Expected {
        QWidget* widget;
        QRect geometry;
        bool visible;
        bool enabled;
    };
    const Expected controls[] = {
        {f.btn_cast, rect(layout::kCastButton), true, true},
        {f.btn_watch, rect(layout::kWatchButton), true, true},
        {f.btn_stop, rect(layout::kStopButton), true, false},
        {f.btn_about, rect(layout::kAboutButton), false, true},
        {f.bg_debug, rect(layout::kPanel), true, true},
        {f.debug, rect(layout::kLog), true, true},
        {f.bg_cast, rect(layout::kPanel), false, true},
        {f.ed_castname, rect(layout::kCastNameEdit), true, true},
        {f.cb_track, rect(layout::kTrackChooser), false, true},
        {f.btn_cast1, rect(layout::kCastStartButton), true, true},
        {f.bg_watch, rect(layout::kPanel), false, true},
        {f.sg_serverlist, rect(layout::kCasterGrid), true, true},
        {f.btn_watch1, rect(layout::kWatchStartButton), true, true},
        {f.btn_refresh, rect(layout::kRefreshButton), true, true},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.widget->metaObject()->className());
        EXPECT_EQ(c.widget->geometry(), c.geometry);
        EXPECT_EQ(!c.widget->isHidden(), c.visible);
        EXPECT_EQ(c.widget->isEnabled(), c.enabled);
    }
    EXPECT_EQ(f.lbl_castname->pos(), rect(layout::kCastNameLabel).topLeft());
    EXPECT_TRUE(f.lbl_track->isHidden());
    EXPECT_EQ(f.socket_data->text(), "sent: 0 b/sec     ---     recv: 0 b/sec");
    EXPECT_EQ(f.socket_data->pos(), rect(layout::kMeter).topLeft());

    EXPECT_EQ(f.btn_cast->text(), "Cast LFS");
    EXPECT_EQ(f.btn_watch->text(), "Watch LFS");
    EXPECT_EQ(f.btn_stop->text(), "Stop");
    EXPECT_EQ(f.bg_cast->title(), "Cast LFS");
    EXPECT_EQ(f.bg_watch->title(), "Watch LFS");
    EXPECT_TRUE(f.bg_debug->title().isEmpty());
    EXPECT_TRUE(f.ed_castname->text().isEmpty());
    EXPECT_EQ(f.ed_castname->maxLength(), 32);

    const QStringList lines = log_lines(f.debug);
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[0], "KAVRO v. 0.0.2");
    EXPECT_EQ(lines[3], "See readme.txt for more information.");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "Have fun!");

    ASSERT_EQ(f.cb_track->count(), 53);
    EXPECT_EQ(f.cb_track->itemText(0), "BL1");
    EXPECT_EQ(f.cb_track->itemText(27), "AU1");
    EXPECT_EQ(f.cb_track->itemText(52), "AS7r");
    EXPECT_TRUE(f.cb_track->currentText().isEmpty());

    // The header row is the grid's own fixed heading; one empty data row below it, selected.
    EXPECT_EQ(f.sg_serverlist->rowCount(), 1);
    ASSERT_EQ(f.sg_serverlist->columnCount(), layout::kGridColumns);
    for (int c = 0; c < layout::kGridColumns; ++c) {
        EXPECT_EQ(f.sg_serverlist->columnWidth(c), layout::kGridColumnWidths[c]) << c;
    }
    EXPECT_EQ(f.sg_serverlist->rowHeight(0), layout::kGridRowHeight);
    EXPECT_EQ(f.sg_serverlist->horizontalHeader()->height(), layout::kGridRowHeight);
    EXPECT_FALSE(f.sg_serverlist->horizontalHeader()->isHidden());
    for (int c = 0; c < 4; ++c) {
        EXPECT_TRUE(f.sg_serverlist->horizontalHeaderItem(c)->text().isEmpty());
        EXPECT_TRUE(f.sg_serverlist->item(0, c)->text().isEmpty());
    }
    EXPECT_EQ(f.sg_serverlist->currentRow(), 0);

    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_FALSE(f.Timer2->isActive());
    EXPECT_EQ(f.Timer1->interval(), 1000);
    EXPECT_FALSE(f.tcp1.Active());
}

TEST(MainWindow, EveryTextFitsItsControl) {
    SimulatorInstall install;
    Window w;
    TForm1& f = w.form;
    for (QPushButton* b : {f.btn_cast, f.btn_watch, f.btn_stop, f.btn_about, f.btn_cast1,
                           f.btn_watch1, f.btn_refresh}) {
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width())
            << b->text().toStdString();
        EXPECT_LE(b->fontMetrics().height(), b->height());
    }
    // Labels size themselves; the cast name label must end before the edit starts.
    EXPECT_LE(f.lbl_castname->geometry().right(), f.ed_castname->x());
    EXPECT_LE(f.socket_data->geometry().right(), f.width());
    const char* headers[] = {"Cast name", "Track", "Watcher", "Packet time"};
    for (int c = 0; c < layout::kGridColumns; ++c) {
        EXPECT_LE(f.sg_serverlist->fontMetrics().horizontalAdvance(headers[c]) + 4,
                  layout::kGridColumnWidths[c])
            << headers[c];
    }
    // The panels' captions fit along their tops, clear of the boxes' corners.
    for (QGroupBox* g : {f.bg_cast, f.bg_watch}) {
        EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 16, g->width())
            << g->title().toStdString();
    }
    // The labels' texts fit the widths the layout gives them, so the Win32 window's fixed
    // labels, drawn from the same layout, are not cut short either.
    EXPECT_LE(f.lbl_castname->fontMetrics().horizontalAdvance(f.lbl_castname->text()),
              layout::kCastNameLabel.width);
    EXPECT_LE(f.lbl_track->fontMetrics().horizontalAdvance(f.lbl_track->text()),
              layout::kTrackLabel.width);
    EXPECT_LE(f.fontInfo().pointSize(), 8);
}

// Each control where the layout puts it, on the parent it names; and as placed (labels sized to
// their text), each inside its parent and none over another except the panels.
TEST(MainWindow, EveryControlLiesInsideItsParentAndNoneOverlapsAnother) {
    SimulatorInstall install;
    Window w;
    TForm1& f = w.form;
    const auto controls = controls_of<QWidget*>(f);
    ASSERT_EQ(controls.size(), std::size(layout::kControls));
    std::vector<PlacedControl> placed;
    for (const auto& [name, widget] : controls) {
        SCOPED_TRACE(name);
        const layout::Control* drawn = nullptr;
        for (const auto& c : layout::kControls) {
            if (name == c.name) drawn = &c;
        }
        ASSERT_NE(drawn, nullptr);
        QWidget* parent = widget->parentWidget();
        const std::string parent_name = std::string(drawn->parent);
        if (parent_name.empty()) {
            EXPECT_EQ(parent, &f);
        } else {
            bool found = false;
            for (const auto& [other, other_widget] : controls) {
                if (other == parent_name) found = other_widget == parent;
            }
            EXPECT_TRUE(found) << "not on " << parent_name;
        }
        const QRect g = widget->geometry();
        EXPECT_EQ(g.topLeft(), rect(drawn->place).topLeft());
        placed.push_back({name, parent_name, {g.x(), g.y(), g.width(), g.height()}});
    }
    for (const std::string& fault : layout_faults(placed, f.width(), f.height())) {
        ADD_FAILURE() << fault;
    }
}

TEST(MainWindow, InstallationCheckShowsItsBoxBeforeTheWindow) {
    SimulatorInstall install(false);
    Window w;
    MessageBoxAnswerer answerer;
    w.form.FormCreate();
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_EQ(answerer.texts[0],
              "KAVRO isn't correct installed.\n\nPlease see the readme for installation "
              "instructions.");
    EXPECT_EQ(answerer.captions[0], "kavro");
    EXPECT_FALSE(w.form.isVisible());
}

TEST(MainWindow, ErrorBoxTextEndsWithAFullStopWhereNeeded) {
    EXPECT_EQ(kavro::error_box_text("disk full"), "disk full.");
    EXPECT_EQ(kavro::error_box_text("done."), "done.");
    EXPECT_EQ(kavro::error_box_text("why?"), "why?.");  // '?' sorts after '.'
    EXPECT_EQ(kavro::error_box_text("a!"), "a!");       // '!' sorts before '.'
    EXPECT_EQ(kavro::error_box_text(""), "");
}

TEST(MainWindow, AShownPanelHidesTheLogBeneathIt) {
    SimulatorInstall install;
    Window w;
    TForm1& f = w.form;
    f.bg_cast->show();
    const QRect panel = f.bg_cast->geometry();
    const QImage with_log = f.grab(panel).toImage();
    f.debug->setPlainText(QString(400, u'W'));  // a log full of dark letters
    const QImage with_full_log = f.grab(panel).toImage();
    f.debug->clear();
    const QImage with_empty_log = f.grab(panel).toImage();
    EXPECT_EQ(with_log, with_empty_log);
    EXPECT_EQ(with_full_log, with_empty_log);
}

namespace {

// An object whose event handler fails, as a handler with a bug would.
class FailingHandler : public QObject {
  public:
    bool event(QEvent*) override { throw std::runtime_error("the disk is full"); }
};

}  // namespace

TEST(MainWindow, AnErrorEscapingAHandlerIsShownAndTheLoopGoesOn) {
    MessageBoxAnswerer answerer;
    FailingHandler handler;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&handler, &event));
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_EQ(answerer.texts[0], "the disk is full.");
    EXPECT_EQ(answerer.captions[0], "kavro");
    // The loop still runs events afterwards.
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_TRUE(wait_until([&] { return ran; }));
}
