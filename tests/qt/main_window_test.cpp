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

#include "app/qt/application.h"
#include "gui_test_support.h"

using namespace kavro;
using namespace kavro::test;

namespace {

// The window checks for ../LFS.exe relative to the working directory.
struct Window {
    TForm1 form{RelayAddress{"127.0.0.1", "1"}};
};

}  // namespace

TEST(MainWindow, StartsIdleWithEveryControlInPlace) {
    SimulatorInstall install;
    Window w;
    TForm1& f = w.form;
    EXPECT_EQ(f.windowTitle(), "KAVRO");
    EXPECT_EQ(f.size(), QSize(316, 197));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_EQ(f.pos(), QPoint(229, 103));
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);

    struct Expected {
        QWidget* widget;
        QRect geometry;
        bool visible;
        bool enabled;
    };
    const Expected controls[] = {
        {f.btn_cast, {0, 8, 75, 25}, true, true},
        {f.btn_watch, {80, 8, 75, 25}, true, true},
        {f.btn_stop, {160, 8, 75, 25}, true, false},
        {f.btn_about, {240, 8, 75, 25}, false, true},
        {f.bg_debug, {0, 40, 315, 140}, true, true},
        {f.debug, {4, 14, 305, 120}, true, true},
        {f.bg_cast, {0, 40, 315, 140}, false, true},
        {f.ed_castname, {72, 20, 121, 21}, true, true},
        {f.cb_track, {72, 52, 124, 22}, false, true},
        {f.btn_cast1, {72, 96, 75, 25}, true, true},
        {f.bg_watch, {0, 40, 315, 140}, false, true},
        {f.sg_serverlist, {6, 16, 305, 89}, true, true},
        {f.btn_watch1, {8, 110, 75, 25}, true, true},
        {f.btn_refresh, {230, 110, 75, 25}, true, true},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.widget->metaObject()->className());
        EXPECT_EQ(c.widget->geometry(), c.geometry);
        EXPECT_EQ(!c.widget->isHidden(), c.visible);
        EXPECT_EQ(c.widget->isEnabled(), c.enabled);
    }
    EXPECT_EQ(f.lbl_castname->pos(), QPoint(8, 24));
    EXPECT_TRUE(f.lbl_track->isHidden());
    EXPECT_EQ(f.socket_data->text(), "sent: 0 b/sec     ---     recv: 0 b/sec");
    EXPECT_EQ(f.socket_data->pos(), QPoint(0, 182));

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
    EXPECT_EQ(f.sg_serverlist->columnCount(), 4);
    EXPECT_EQ(f.sg_serverlist->columnWidth(0), 147);
    EXPECT_EQ(f.sg_serverlist->columnWidth(1), 40);
    EXPECT_EQ(f.sg_serverlist->columnWidth(2), 47);
    EXPECT_EQ(f.sg_serverlist->columnWidth(3), 64);
    EXPECT_EQ(f.sg_serverlist->rowHeight(0), 16);
    EXPECT_EQ(f.sg_serverlist->horizontalHeader()->height(), 16);
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
    const int header_widths[] = {147, 40, 47, 64};
    const char* headers[] = {"Cast name", "Track", "Watcher", "Packet time"};
    for (int c = 0; c < 4; ++c) {
        EXPECT_LE(f.sg_serverlist->fontMetrics().horizontalAdvance(headers[c]) + 4,
                  header_widths[c])
            << headers[c];
    }
    EXPECT_LE(f.fontInfo().pointSize(), 8);
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
