// Marks a piece of work as running for as long as the guard lives, however the work ends: a
// reaction that throws still clears the mark, so the work can run again later.
#pragma once

namespace kavro {

class ReentryGuard {
  public:
    explicit ReentryGuard(bool& running) : running_(running) { running_ = true; }
    ~ReentryGuard() { running_ = false; }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;

  private:
    bool& running_;
};

}  // namespace kavro
