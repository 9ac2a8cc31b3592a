// Tells the user once that something keeps failing, and once that it works again, instead of a
// line per failed attempt or none at all.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace kavro {

class FailureNotice {
  public:
    using Log = std::function<void(const std::string&)>;

    FailureNotice(Log log, std::string failed_line, std::string recovered_line)
        : log_(std::move(log)),
          failed_line_(std::move(failed_line)),
          recovered_line_(std::move(recovered_line)) {}

    // An attempt failed: the failure line, unless it was said since the last success.
    void failed() {
        if (failing_) return;
        failing_ = true;
        log_(failed_line_);
    }
    // An attempt worked: the recovery line, if a failure was said before it.
    void worked() {
        if (!failing_) return;
        failing_ = false;
        log_(recovered_line_);
    }
    bool failing() const { return failing_; }

  private:
    Log log_;
    std::string failed_line_;
    std::string recovered_line_;
    bool failing_ = false;
};

}  // namespace kavro
