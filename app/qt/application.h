// The client's QApplication: an error that escapes an event handler is shown in a message box
// and the event loop goes on with the next event.
#pragma once

#include <QApplication>

namespace kavro {

// The caption of every message box, set on the box itself. It is not the application's display
// name: the platform would append that to the window's own caption.
inline constexpr char kMessageCaption[] = "kavro";

class Application : public QApplication {
  public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The text shown for an error: its message, with a full stop added when the message is not
// empty and its last character sorts after the full stop.
QString error_box_text(const QString& message);

// The system's error box: error icon, the caption "kavro", one OK button.
void show_error(const QString& message);

}  // namespace kavro
