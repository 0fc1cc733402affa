#pragma once

#include <chrono>
#include <functional>

// Evaluates cond until it holds or timeout has passed; whether it held. Between two
// evaluations it runs idle, or sleeps a few milliseconds when there is none (a window
// test spins its event loop there). The one deadline loop of the tests.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5),
             const std::function<void()>& idle = {});
