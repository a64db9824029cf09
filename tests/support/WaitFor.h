#pragma once
// Polls a condition instead of sleeping a fixed time: returns as soon as it holds.
#include <chrono>
#include <functional>
#include <thread>

inline bool waitFor(const std::function<bool()>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
