#include "app/main_window.h"

#include <QApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>

namespace kavro {

TForm1::TForm1(ProgramState& state, const RelayAddress& relay, QWidget* parent)
    : QWidget(parent),
      state_(state),
      replay_writer_("../data/mpr/kavro.mpr",
                     [this](const std::string& line) { log(QString::fromStdString(line)); }) {
    build_controls();
    tcp1.RemoteHost = relay.host;
    tcp1.RemotePort = relay.port;
    connect_handlers();
}

TForm1::~TForm1() {
    // Closing the window closes the connection; the handlers are not run any more.
    tcp1.OnConnect = nullptr;
    tcp1.OnDisconnect = nullptr;
    tcp1.Disconnect();
}

void TForm1::connect_handlers() {
    connect(btn_cast, &QPushButton::clicked, this, &TForm1::btn_castClick);
    connect(btn_watch, &QPushButton::clicked, this, &TForm1::btn_watchClick);
    connect(btn_stop, &QPushButton::clicked, this, &TForm1::btn_stopClick);
    connect(btn_cast1, &QPushButton::clicked, this, &TForm1::btn_cast1Click);
    connect(btn_watch1, &QPushButton::clicked, this, &TForm1::btn_watch1Click);
    connect(btn_refresh, &QPushButton::clicked, this, &TForm1::btn_refreshClick);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
    tcp1.OnConnect = [this] { tcp1Connect(); };
    tcp1.OnDisconnect = [this] { tcp1Disconnect(); };
}

void TForm1::FormCreate() {
    const QFileInfo simulator(QStringLiteral("../LFS.exe"));
    if (!simulator.exists() || simulator.isDir()) {
        show_message(QStringLiteral("KAVRO isn't correct installed.\n\n"
                                    "Please see the readme for installation instructions."));
    }
}

void TForm1::log(const QString& line) {
    debug->appendPlainText(line);
    debug->verticalScrollBar()->setValue(debug->verticalScrollBar()->maximum());
}

void TForm1::show_message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();  // a nested event loop: timers go on firing meanwhile
}

void TForm1::hide_panels() {
    bg_cast->hide();
    bg_watch->hide();
}

char TForm1::decimal_separator() const {
    const QString point = QLocale().decimalPoint();
    if (point.size() == 1 && point[0].unicode() < 0x80) return point[0].toLatin1();
    return '.';
}

bool TForm1::send_record(std::span<const std::uint8_t> record) {
    if (!tcp1.Connected()) return false;
    const auto result = tcp1.SendBytes(record);
    state_.bytes_sent += static_cast<std::int32_t>(result.sent);
    if (!result.ok) {
        connection_lost();
        return false;
    }
    return true;
}

void TForm1::connection_lost() {
    log(QStringLiteral("The relay closed the connection."));
    btn_stopClick();
}

}  // namespace kavro
