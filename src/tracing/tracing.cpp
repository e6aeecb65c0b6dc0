#include "tracing/tracing.h"

#include <atomic>

namespace tracing {

namespace {
std::atomic<Subscriber*> installed_subscriber{nullptr};
}  // namespace

Subscriber* set_subscriber(Subscriber* subscriber) { return installed_subscriber.exchange(subscriber); }

bool enabled(Level level, std::string_view target) {
  Subscriber* subscriber = installed_subscriber.load();
  return subscriber != nullptr && subscriber->enabled(level, target);
}

void dispatch(const Event& event) {
  Subscriber* subscriber = installed_subscriber.load();
  if (subscriber != nullptr && subscriber->enabled(event.level, event.target)) subscriber->event(event);
}

}  // namespace tracing
