#include "app/qt/main_window.h"

#include <QPushButton>
#include <QTimer>

namespace kavro {

TForm1::TForm1(const RelayAddress& relay, QWidget* parent) : QWidget(parent), core_(*this, tcp1) {
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

}  // namespace kavro
