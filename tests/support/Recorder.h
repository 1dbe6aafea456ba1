// What a program printed and when: a file (a program's standard output, or a guest's live
// console) watched as it grows, each new piece kept with the time it showed, on the steady clock
// of the tests, in seconds from an origin the caller gives. A thread of its own reads every
// 2 ms, at real-time priority where it may (as root), so that the times are those of the file,
// not of a loaded machine.
#ifndef TESTS_RECORDER_H
#define TESTS_RECORDER_H

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    Recorder() = default;
    ~Recorder() { stop(); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void start(const std::string& path, Clock::time_point origin) {
        stop();
        path_ = path, origin_ = origin, running_ = true;
        thread_ = std::thread([this] {
            const sched_param high{10};
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &high); // refused without privileges: fine
            while (running_) {
                poll();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            poll();
        });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    // The pieces in the order they showed: (seconds from the origin, bytes).
    std::vector<std::pair<double, std::string>> pieces() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::pair<double, std::string>> all;
        for (std::size_t i = 0; i < marks_.size(); ++i) {
            const std::size_t end = i + 1 < marks_.size() ? marks_[i + 1].second : text_.size();
            all.emplace_back(marks_[i].first, text_.substr(marks_[i].second, end - marks_[i].second));
        }
        return all;
    }
    // When the first `needle` at or after byte `from` had shown whole; -1 when it has not.
    double when(const std::string& needle, std::size_t from = 0, std::size_t* at = nullptr) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t found = text_.find(needle, from);
        if (found == std::string::npos) {
            return -1;
        }
        if (at != nullptr) {
            *at = found + needle.size();
        }
        double seen = -1;
        for (const auto& [time, offset] : marks_) {
            seen = offset < found + needle.size() ? time : seen;
        }
        return seen;
    }
    // Waits until `needle` has shown; false when `limit` passes first.
    bool waitFor(const std::string& needle, std::chrono::milliseconds limit) const {
        for (const auto end = Clock::now() + limit; Clock::now() < end;) {
            if (when(needle) >= 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return when(needle) >= 0;
    }

private:
    void poll() {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(read_));
        std::string fresh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (fresh.empty()) {
            return;
        }
        const double now = std::chrono::duration<double>(Clock::now() - origin_).count();
        std::lock_guard<std::mutex> lock(mutex_);
        marks_.emplace_back(now, text_.size());
        text_ += fresh;
        read_ += fresh.size();
    }

    std::string path_;
    Clock::time_point origin_{};
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string text_;
    std::size_t read_ = 0;
    std::vector<std::pair<double, std::size_t>> marks_; // (seconds, where the piece begins in text_)
};

#endif
