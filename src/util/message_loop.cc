#include "util/message_loop.h"

#include <algorithm>

#include "platform/close_request.h"

namespace plotspool {
namespace {

std::function<void()>& YieldObserver() {
  static std::function<void()> observer;
  return observer;
}

}  // namespace

void YieldToMessageLoop() {
  if (YieldObserver()) YieldObserver()();
  if (platform::CloseRequestPending()) throw CloseRequested{};
}

void SleepAndYield(std::chrono::milliseconds duration) {
  // Slices keep the watchdog fed during long sleeps.
  constexpr std::chrono::milliseconds kSlice(1000);
  do {
    const auto slice = std::min(duration, kSlice);
    if (YieldObserver()) YieldObserver()();
    if (platform::WaitForCloseRequest(slice)) throw CloseRequested{};
    duration -= slice;
  } while (duration.count() > 0);
}

void SetYieldObserver(std::function<void()> observer) { YieldObserver() = std::move(observer); }

}  // namespace plotspool
