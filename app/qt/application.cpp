#include "app/qt/application.h"

#include <QIcon>
#include <QMessageBox>
#include <exception>

#include "app/kavro_version.h"

namespace kavro {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("kavro"));
    setApplicationVersion(QStringLiteral(KAVRO_FULL_VERSION));
    setWindowIcon(QIcon(QStringLiteral(":/kavro.png")));
}

QString error_box_text(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar(u'.')) return message + u'.';
    return message;
}

void show_error(const QString& message) {
    QMessageBox::critical(nullptr, QString::fromLatin1(kMessageCaption), error_box_text(message));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        show_error(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        show_error(QString());
    }
    return false;
}

}  // namespace kavro
