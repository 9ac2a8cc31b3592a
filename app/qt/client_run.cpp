#include "app/qt/client_run.h"

#include <QFile>

#include "app/qt/application.h"
#include "link/socket_api.h"

namespace kavro {
namespace {

// What is left of the command line once Qt has taken its own options.
std::optional<std::string> first_argument() {
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) return std::nullopt;
    return arguments[1].toStdString();
}

std::filesystem::path program_folder() {
    return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
}

}  // namespace

int run_client(int& argc, char** argv,
               const std::function<void(TForm1&, const RelayAddress&)>& prepare) {
    const bool sockets_started = net::start_sockets();
    Application app(argc, argv);
    if (!sockets_started) {
        show_error(QStringLiteral("WSAStartup"));  // the program ends before its window opens
        return 1;
    }
    int status = 0;
    {
        const RelayChoice relay = choose_relay(relay_sources(first_argument(), program_folder()));
        TForm1 form(relay.address);
        if (prepare) prepare(form, relay.address);
        form.FormCreate();  // before the window shows, so its message stands alone
        form.show_relay_choice(relay);
        form.show();
        status = app.exec();
    }
    if (!net::stop_sockets()) show_error(QStringLiteral("WSACleanup"));
    return status;
}

}  // namespace kavro
