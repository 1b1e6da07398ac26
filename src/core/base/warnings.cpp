#include "base/warnings.h"

#include <mutex>

namespace vornback {

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

WarningSink*& Sink() {
    static WarningSink* sink = nullptr;
    return sink;
}

}  // namespace

WarningSink* SetWarningSink(WarningSink* sink) {
    const std::lock_guard<std::mutex> lock(SinkMutex());
    WarningSink* before = Sink();
    Sink() = sink;
    return before;
}

void Warn(const std::string& text) {
    const std::lock_guard<std::mutex> lock(SinkMutex());
    if (Sink() != nullptr) {
        Sink()->Warn(text);
    }
}

}  // namespace vornback
