#pragma once
// The console output of a sandbox or virtual-machine run, filled by the run's reader thread and
// read by the test: waits for a text, the transcript, when each piece arrived.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A terminal's CR LF turned back into LF.
std::string withoutCarriageReturns(const std::string& text);

class ConsoleCapture {
public:
    using Observer = std::function<void(const char*, size_t)>;
    // observer sees every piece as it arrives, on the reader thread.
    explicit ConsoleCapture(Observer observer = {}) : observer_(std::move(observer)) {}

    // Time zero of secondsUntil.
    void restartClock();
    void append(const char* data, size_t size);

    // Waits until text appears after the end of the previous match. Once running() says the
    // run is over, the reader gets one more short pass for the last bytes still in the pipe.
    bool waitFor(const std::string& text, double seconds, const std::function<bool()>& running);

    std::string transcript() const; // CR LF as LF
    std::string raw() const;
    bool contains(const std::string& text) const;
    // Seconds from restartClock() until text was first all there, or -1.
    double secondsUntil(const std::string& text) const;

private:
    using Clock = std::chrono::steady_clock;
    Observer observer_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::string text_;
    size_t matched_ = 0;
    Clock::time_point startedAt_ = Clock::now();
    std::vector<std::pair<size_t, double>> arrivals_; // size after a piece, seconds then
};
