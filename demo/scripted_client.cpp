// kavro-scripted-client: the real client, started the way the program starts (its working
// directory is the client's folder below a simulator installation, KAVRO_RELAY names the relay),
// with a scripted user who clicks through its window as a person would:
//
//   --cast NAME    "Cast LFS", type NAME into the cast name, "Cast".
//   --watch NAME   "Watch LFS", wait for NAME in the list (pressing "Refresh" every couple of
//                  seconds until it shows), click its row, "Watch".
//
// The program then keeps running on its own event loop and timers until a file named "stop"
// appears in the working directory (exit 0) or --timeout seconds pass (exit 3). Either way it
// prints the window's whole log to standard output before it exits. While it runs, every new log
// line ("log: ..."), every click and message box ("event: ...") and the relay's acceptance
// ("event: registered") go to standard error at once, so a harness can follow the session.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "app/qt/client_run.h"

namespace {

constexpr int kTickMs = 100;
// How long the scripted user waits before trying a step again (reconnect, refresh the list).
constexpr qint64 kRetryMs = 2000;
constexpr int kExitStopped = 0;
constexpr int kExitUsage = 2;
constexpr int kExitTimedOut = 3;

enum class Role { kCast, kWatch };

struct Script {
    Role role = Role::kCast;
    QString name;
    double timeout_seconds = 600;
    QString stop_file = QStringLiteral("stop");
    QString screenshot;       // right before the last click
    QString screenshot_idle;  // as the window first shows
    std::optional<QPoint> window_position;
};

void say(const char* kind, const QString& text) {
    std::fprintf(stderr, "%s: %s\n", kind, text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s (--cast NAME | --watch NAME) [--timeout SECONDS] [--stop-file NAME]\n"
                 "       [--screenshot FILE] [--screenshot-idle FILE] [--window-pos X,Y]\n",
                 program);
}

std::optional<Script> parse_arguments(int argc, char** argv) {
    Script script;
    bool have_role = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") return std::nullopt;
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", option.c_str());
            return std::nullopt;
        }
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (option == "--cast" || option == "--watch") {
            script.role = option == "--cast" ? Role::kCast : Role::kWatch;
            script.name = value;
            have_role = !value.isEmpty();
        } else if (option == "--timeout") {
            bool ok = false;
            script.timeout_seconds = value.toDouble(&ok);
            if (!ok || script.timeout_seconds <= 0) {
                std::fprintf(stderr, "--timeout needs a positive number of seconds\n");
                return std::nullopt;
            }
        } else if (option == "--stop-file") {
            script.stop_file = value;
        } else if (option == "--screenshot") {
            script.screenshot = value;
        } else if (option == "--screenshot-idle") {
            script.screenshot_idle = value;
        } else if (option == "--window-pos") {
            const QStringList parts = value.split(u',');
            bool x_ok = false;
            bool y_ok = false;
            if (parts.size() == 2) {
                script.window_position = QPoint(parts[0].toInt(&x_ok), parts[1].toInt(&y_ok));
            }
            if (!x_ok || !y_ok) {
                std::fprintf(stderr, "--window-pos needs X,Y\n");
                return std::nullopt;
            }
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return std::nullopt;
        }
    }
    if (!have_role) {
        std::fprintf(stderr, "say --cast NAME or --watch NAME\n");
        return std::nullopt;
    }
    return script;
}

// Without a display the window is drawn offscreen; with one it is shown, unless the caller chose
// a platform itself.
void choose_platform() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#endif
}

class ScriptedUser : public QObject {
  public:
    ScriptedUser(kavro::TForm1& form, Script script) : form_(form), script_(std::move(script)) {
        ticker_.setInterval(kTickMs);
        connect(&ticker_, &QTimer::timeout, this, &ScriptedUser::tick);
    }

    // Starts watching for message boxes, the stop file and the deadline at once (the window's
    // installation check may open a box before the window shows); the clicks begin once the
    // window is shown.
    void start() {
        running_.start();
        ticker_.start();
    }

  private:
    enum class Step { kOpenPanel, kFillPanel, kDone };

    void tick() {
        answer_message_box();
        if (QFileInfo::exists(script_.stop_file)) return finish(kExitStopped, "stop file found");
        if (running_.elapsed() >= static_cast<qint64>(script_.timeout_seconds * 1000)) {
            return finish(kExitTimedOut, "timed out");
        }
        // A click whose handler opened a modal box runs a nested event loop, which ticks again:
        // only the box is answered then.
        if (busy_ || !form_.isVisible()) return;
        busy_ = true;
        mirror_log();
        report_registration();
        act();
        mirror_log();
        busy_ = false;
    }

    // One step of the script per tick: open the panel of our role, then fill it in.
    void act() {
        switch (step_) {
            case Step::kOpenPanel:
                take_screenshot(script_.screenshot_idle);
                open_panel();
                step_ = Step::kFillPanel;
                break;
            case Step::kFillPanel:
                if (script_.role == Role::kCast ? fill_cast_panel() : fill_watch_panel()) {
                    step_ = Step::kDone;
                }
                break;
            case Step::kDone:
                break;
        }
    }

    void open_panel() {
        if (script_.role == Role::kCast) {
            click(form_.btn_cast, "Cast LFS");
        } else {
            click(form_.btn_watch, "Watch LFS");
        }
    }

    // Types the name and casts once the relay is connected; true when done.
    bool fill_cast_panel() {
        if (form_.tcp1.Connected() && !form_.bg_cast->isHidden()) {
            QTest::keyClicks(form_.ed_castname, script_.name);
            say("event", QStringLiteral("typed the cast name ") + script_.name);
            take_screenshot(script_.screenshot);
            click(form_.btn_cast1, "Cast");
            return true;
        }
        if (since_last_click_.elapsed() >= kRetryMs) open_panel();  // the relay was not there
        return false;
    }

    // Picks our cast and watches it once it is listed; true when done.
    bool fill_watch_panel() {
        if (const int row = listed_row(); row >= 0 && !form_.bg_watch->isHidden()) {
            QTableWidget* grid = form_.sg_serverlist;
            QTableWidgetItem* cell = grid->item(row, 0);
            grid->scrollToItem(cell);
            QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                              grid->visualItemRect(cell).center());
            say("event", QStringLiteral("clicked the row of ") + script_.name);
            take_screenshot(script_.screenshot);
            click(form_.btn_watch1, "Watch");
            return true;
        }
        if (since_last_click_.elapsed() < kRetryMs) return false;
        if (form_.tcp1.Connected()) {
            click(form_.btn_refresh, "Refresh");
        } else {
            open_panel();  // the relay was not there
        }
        return false;
    }

    // The grid's data row whose cast name is ours (the header row is not one of them), or -1.
    int listed_row() const {
        const QTableWidget* grid = form_.sg_serverlist;
        for (int row = 0; row < grid->rowCount(); ++row) {
            const QTableWidgetItem* cell = grid->item(row, 0);
            if (cell != nullptr && cell->text() == script_.name) return row;
        }
        return -1;
    }

    void click(QPushButton* button, const char* what) {
        QTest::mouseClick(button, Qt::LeftButton);
        since_last_click_.start();
        say("event", QStringLiteral("clicked ") + QString::fromLatin1(what));
    }

    void answer_message_box() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        say("event", QStringLiteral("message box: ") + box->text());
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            QTest::mouseClick(ok, Qt::LeftButton);
        } else {
            box->accept();
        }
    }

    void mirror_log() {
        const QStringList lines = form_.debug->toPlainText().split(u'\n');
        for (; lines_shown_ < lines.size(); ++lines_shown_) say("log", lines[lines_shown_]);
    }

    void report_registration() {
        const bool registered = form_.state().registered;
        if (registered == registered_) return;
        registered_ = registered;
        say("event",
            registered ? QStringLiteral("registered") : QStringLiteral("no longer registered"));
    }

    void take_screenshot(const QString& file) {
        if (file.isEmpty()) return;
        QApplication::processEvents();  // draw what the last input changed
        const bool saved = form_.grab().save(file);
        say("event", (saved ? QStringLiteral("saved the window to ")
                            : QStringLiteral("could not save the window to ")) +
                         file);
    }

    void finish(int exit_code, const char* why) {
        ticker_.stop();
        mirror_log();
        say("event", QString::fromLatin1(why));
        const QByteArray log = form_.debug->toPlainText().toLocal8Bit();
        std::fwrite(log.constData(), 1, static_cast<std::size_t>(log.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        QCoreApplication::exit(exit_code);
    }

    kavro::TForm1& form_;
    Script script_;
    QTimer ticker_;
    QElapsedTimer running_;
    QElapsedTimer since_last_click_;
    Step step_ = Step::kOpenPanel;
    bool busy_ = false;
    bool registered_ = false;
    qsizetype lines_shown_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Script> script = parse_arguments(argc, argv);
    if (!script) {
        usage(argv[0]);
        return kExitUsage;
    }
    choose_platform();
    int app_argc = 1;  // the script's options are not Qt's
    return kavro::run_client(
        app_argc, argv, [&](kavro::TForm1& form, const kavro::RelayAddress& relay) {
            say("event", QStringLiteral("working in ") + QDir::currentPath() +
                             QStringLiteral(", relay ") + QString::fromStdString(relay.host) +
                             u':' + QString::fromStdString(relay.port));
            auto* user = new ScriptedUser(form, *script);
            user->setParent(&form);  // goes with the window, while the application still exists
            user->start();
            if (script->window_position) form.move(*script->window_position);
        });
}
