// GoogleTest's own customisation point, used when the unit tests are cross-built with MinGW-w64's
// Win32 thread model: that C++ library has no std::mutex or std::condition_variable, which
// GoogleTest's Notification is built on. Only GoogleTest's thread helper waits on one (the tests
// run on one thread), so an atomic flag does the same job.
#ifndef FWUPGRADE_MINGW_GTEST_PORT_H
#define FWUPGRADE_MINGW_GTEST_PORT_H

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) {
        }
    }

  private:
    std::atomic<bool> notified_{false};
};

} // namespace internal
} // namespace testing

#endif
