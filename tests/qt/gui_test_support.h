// What the window tests share: a Qt application on the offscreen platform, a scratch folder laid
// out like a simulator installation with the client's folder as working directory, and a
// helper that answers message boxes.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_folder.h"

namespace kavro::test {

// A folder like <simulator>/ with LFS.exe, data/mpr/ and the client's folder kavro/, which is
// the working directory while the object lives.
class SimulatorInstall {
  public:
    explicit SimulatorInstall(bool with_simulator = true) {
        std::filesystem::create_directories(root() / "data" / "mpr");
        std::filesystem::create_directories(root() / "kavro");
        if (with_simulator) std::ofstream(root() / "LFS.exe") << "simulator";
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(root() / "kavro");
    }
    ~SimulatorInstall() { std::filesystem::current_path(previous_); }
    const std::filesystem::path& root() const { return folder_.path(); }
    std::filesystem::path replay_folder() const { return root() / "data" / "mpr"; }

  private:
    TempFolder folder_;
    std::filesystem::path previous_;
};

// Closes every message box that opens while it lives, keeping their texts.
class MessageBoxAnswerer {
  public:
    MessageBoxAnswerer() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.push_back(box->text());
                captions.push_back(box->windowTitle());
                box->accept();
            }
        });
        timer_.start();
    }
    QStringList texts;
    QStringList captions;

  private:
    QTimer timer_;
};

// Runs the event loop (timers, sockets) until `condition` holds or `within_ms` pass. Use it
// inside ASSERT_TRUE: QTest's own QTRY macros report to QTest, not to GoogleTest.
template <class Condition>
bool wait_until(Condition condition, int within_ms = 10000) {
    QDeadlineTimer deadline(within_ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(5);
    }
    return true;
}

inline QStringList log_lines(const QPlainTextEdit* log) { return log->toPlainText().split(u'\n'); }

}  // namespace kavro::test
