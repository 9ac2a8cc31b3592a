// The client's one window. It owns every control, both timers and the relay connection; its
// handlers read the window, call the logic in relay/ and replay/, and write the window back.
#pragma once

#include <QString>
#include <QWidget>
#include <span>

#include "app/program_state.h"
#include "app/relay_address.h"
#include "link/receive_buffer.h"
#include "link/tcp_connection.h"
#include "replay/replay_writer.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace kavro {

class TForm1 : public QWidget, private MessageHandler {
    Q_OBJECT

public:
    TForm1(ProgramState& state, const RelayAddress& relay, QWidget* parent = nullptr);
    ~TForm1() override;

    // The installation check, run once before the window is first shown.
    void FormCreate();

    // Appends one line to the log and scrolls to it.
    void log(const QString& line);
    // A modal box captioned with the application title; timers keep firing while it is open.
    void show_message(const QString& text);

    // Controls, named by kind: btn_ buttons, bg_ group boxes, lbl_ labels, ed_ edits,
    // cb_ combo boxes, sg_ string grids.
    QPushButton* btn_cast = nullptr;
    QPushButton* btn_watch = nullptr;
    QPushButton* btn_stop = nullptr;
    QPushButton* btn_about = nullptr;
    QGroupBox* bg_debug = nullptr;
    QPlainTextEdit* debug = nullptr;
    QGroupBox* bg_cast = nullptr;
    QLabel* lbl_castname = nullptr;
    QLineEdit* ed_castname = nullptr;
    QLabel* lbl_track = nullptr;
    QComboBox* cb_track = nullptr;
    QPushButton* btn_cast1 = nullptr;
    QGroupBox* bg_watch = nullptr;
    QTableWidget* sg_serverlist = nullptr;
    QPushButton* btn_watch1 = nullptr;
    QPushButton* btn_refresh = nullptr;
    QLabel* socket_data = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    TcpConnection tcp1;

    // Mode controller.
    void btn_castClick();
    void btn_watchClick();
    void btn_stopClick();
    void tcp1Connect();
    void tcp1Disconnect();
    void Timer1Timer();
    // Throughput meter.
    void Timer2Timer();
    // Receive side: one receive, then every complete message at the buffer's front.
    void poll_and_dispatch();
    // Cast side.
    void btn_cast1Click();
    void cast_step();
    // Watch side.
    void btn_refreshClick();
    void btn_watch1Click();
    void update_caster_list(wire::ConstBytes payload);
    void write_replay_header(wire::ConstBytes payload);
    void append_replay_data(wire::ConstBytes payload);

    ProgramState& state() { return state_; }

private:
    void build_controls();
    void connect_handlers();

    // Dispatcher reactions.
    void accepted() override;
    void refused() override;
    void error(const std::string& text) override;
    void caster_list(wire::ConstBytes payload) override { update_caster_list(payload); }
    void replay_header(wire::ConstBytes payload) override { write_replay_header(payload); }
    void replay_data(wire::ConstBytes payload) override { append_replay_data(payload); }

    // Closes and reopens the connection, telling the user when the relay cannot be reached.
    void reconnect();
    // Sends a whole record and counts what reached the socket. A failed send ends the
    // connection, so a caster never goes on uploading into a dead socket.
    bool send_record(std::span<const std::uint8_t> record);
    // The relay went away (closed, failed, or a send failed): back to idle, and say so.
    void connection_lost();
    void hide_panels();
    char decimal_separator() const;

    ProgramState& state_;
    ReplayWriter replay_writer_;
    bool dispatching_ = false;
};

}  // namespace kavro
