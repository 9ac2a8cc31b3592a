// A reverse proxy (Debian's nginx or haproxy) run by a test as a child process on 127.0.0.1,
// with a configuration file the test writes into a temporary folder, and stopped when the test
// ends. When the program is missing or cannot run here, the reason says why, and the test
// skips with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kavro::relay::testing {

class ProxyProcess {
  public:
    // Starts `program` with `arguments`, its output in `folder`/NAME.log, and waits until it
    // accepts connections on 127.0.0.1:`port`. Check reason() before using it.
    ProxyProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::filesystem::path& folder, std::uint16_t port);
    // Stops it with SIGTERM (SIGKILL if it does not end within 10 s).
    ~ProxyProcess();
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;

    // Why the proxy cannot be used (missing, exited, never listened), with its output; nothing
    // while it runs and listens.
    const std::optional<std::string>& reason() const { return reason_; }
    std::uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_;
    std::optional<std::string> reason_;
};

// The nginx configuration of the operations guide's recipe, publishing the relay's HTTP side on
// 127.0.0.1:`port` below /live/, with its temporary files in `folder`.
std::string nginx_config(const std::filesystem::path& folder, std::uint16_t port,
                         std::uint16_t relay_http_port);
// The haproxy configuration of the operations guide's recipe: 127.0.0.1:`port` passed on to the
// relay's port with a PROXY header of `send_proxy` ("send-proxy" or "send-proxy-v2").
std::string haproxy_config(std::uint16_t port, std::uint16_t relay_port,
                           const std::string& send_proxy);

}  // namespace kavro::relay::testing
