// The service's waits. Everything runs on one thread; "yielding to the message loop" means
// looking for a close request, and a close request ends the tick at once by throwing
// CloseRequested up to the service's main loop, which runs the shutdown steps.
#ifndef PLOTSPOOL_UTIL_MESSAGE_LOOP_H_
#define PLOTSPOOL_UTIL_MESSAGE_LOOP_H_

#include <chrono>
#include <functional>

namespace plotspool {

// Deliberately not derived from std::exception: error handlers that catch run-time errors
// (or std::exception) must never swallow a stop. Only the main loop catches it.
struct CloseRequested {};

// Lets pending events run: throws CloseRequested when a close request is pending.
void YieldToMessageLoop();

// Sleeps for `duration`, waking at once on a close request (then throws CloseRequested).
void SleepAndYield(std::chrono::milliseconds duration);

// Called on every yield and sleep slice; the service uses it to feed its watchdog. Empty by
// default.
void SetYieldObserver(std::function<void()> observer);

}  // namespace plotspool

#endif  // PLOTSPOOL_UTIL_MESSAGE_LOOP_H_
