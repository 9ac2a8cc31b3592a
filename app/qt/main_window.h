// The client's one window on Qt. It owns every control, both timers and the relay connection,
// and draws the client core: each handler forwards to the core's handler of the same name, and
// the core answers through the ClientView this window implements.
#pragma once

#include <QString>
#include <QWidget>

#include "client/client_core.h"
#include "client/relay_address.h"
#include "link/tcp_connection.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace kavro {

class TForm1 : public QWidget, private ClientView {
    Q_OBJECT

  public:
    explicit TForm1(const RelayAddress& relay, QWidget* parent = nullptr);
    ~TForm1() override;

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

    // The installation check, run once before the window is first shown.
    void FormCreate() { core_.FormCreate(); }
    void show_relay_choice(const RelayChoice& choice) { core_.show_relay_choice(choice); }
    // Mode controller.
    void btn_castClick() { core_.btn_castClick(); }
    void btn_watchClick() { core_.btn_watchClick(); }
    void btn_stopClick() { core_.btn_stopClick(); }
    void tcp1Connect() { core_.tcp1Connect(); }
    void tcp1Disconnect() { core_.tcp1Disconnect(); }
    void Timer1Timer() { core_.Timer1Timer(); }
    // Throughput meter.
    void Timer2Timer() { core_.Timer2Timer(); }
    // Cast side.
    void btn_cast1Click() { core_.btn_cast1Click(); }
    // Watch side.
    void btn_refreshClick() { core_.btn_refreshClick(); }
    void btn_watch1Click() { core_.btn_watch1Click(); }

    ProgramState& state() { return core_.state(); }

  private:
    void build_controls();
    void build_grid();
    void connect_handlers();
    // Narrows the name column by the vertical scroll bar's width while one shows, so the four
    // columns always fit the grid and it never needs a horizontal scroll bar.
    void fit_grid_columns();

    // ClientView.
    void set_panel_visible(Panel panel, bool visible) override;
    void set_button_enabled(ModeButton button, bool enabled) override;
    void add_log_line(const std::string& line) override;
    void show_message(const std::string& text) override;
    void show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) override;
    void set_meter_text(const std::string& text) override;
    void set_timer(WindowTimer timer, bool enabled, int interval_ms) override;
    std::string cast_name() const override;
    std::string track_text() const override;
    int selected_grid_row() const override;
    char decimal_separator() const override;

    ClientCore core_;
};

}  // namespace kavro
