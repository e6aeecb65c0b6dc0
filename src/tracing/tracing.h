// A minimal structured event facade. Code raises events (a level, a target naming the module,
// named text fields); a subscriber, when one is installed, decides which it wants and receives
// them. With no subscriber every event is discarded before it is built.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>

namespace tracing {

enum class Level { trace, debug, info, warn, error };

struct Field {
  std::string_view name;
  std::string_view value;
};

// One event; its views are valid only during the subscriber's `event` call.
struct Event {
  Level level;
  std::string_view target;
  std::span<const Field> fields;
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  // Whether events of this level and target should be built and handed over.
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void event(const Event& event) = 0;
};

// Installs the process-wide subscriber (nullptr removes it) and returns the previous one.
// The caller keeps ownership and must keep it alive while it is installed.
Subscriber* set_subscriber(Subscriber* subscriber);

// True when a subscriber is installed and wants events of this level and target. Callers
// test this before building an event's field texts.
bool enabled(Level level, std::string_view target);

// Hands the event to the installed subscriber if it wants it; otherwise does nothing.
void dispatch(const Event& event);

// Raises an event with the given fields.
inline void event(Level level, std::string_view target, std::initializer_list<Field> fields) {
  dispatch(Event{level, target, std::span<const Field>(fields.begin(), fields.size())});
}

}  // namespace tracing
