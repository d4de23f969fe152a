#include "testbed/console_capture.h"

#include <thread>

std::string withoutCarriageReturns(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            plain += text[i];
    return plain;
}

void ConsoleCapture::restartClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    startedAt_ = Clock::now();
}

void ConsoleCapture::append(const char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(data, size);
    arrivals_.push_back(
        {text_.size(), std::chrono::duration<double>(Clock::now() - startedAt_).count()});
    if (observer_)
        observer_(data, size);
    arrived_.notify_all();
}

bool ConsoleCapture::waitFor(const std::string& text, double seconds,
                             const std::function<bool()>& running) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    bool ended = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            std::string seen = withoutCarriageReturns(text_);
            size_t at = seen.find(text, matched_);
            if (at != std::string::npos) {
                matched_ = at + text.size();
                return true;
            }
            if (ended || Clock::now() >= deadline)
                return false;
            arrived_.wait_for(lock, std::chrono::milliseconds(50));
        }
        if (!running()) {
            if (ended)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ended = true;
        }
    }
}

std::string ConsoleCapture::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return withoutCarriageReturns(text_);
}

std::string ConsoleCapture::raw() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

bool ConsoleCapture::contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_.find(text) != std::string::npos;
}

double ConsoleCapture::secondsUntil(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t at = text_.find(text);
    if (at == std::string::npos)
        return -1;
    for (const auto& [size, seconds] : arrivals_)
        if (size >= at + text.size())
            return seconds;
    return -1;
}
