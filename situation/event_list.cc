#include "situation/event_list.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/clock.h"
#include "base/guarded.h"
#include "base/log.h"
#include "base/strings.h"
#include "crypto/json/json11.h"

namespace risk {

namespace {

constexpr size_t kEventMessageSize = 1024;  // send_event_format's buffer, NUL included
constexpr uint64_t kFirstUnlockRetryMicros = 200;
constexpr uint64_t kUnlockLogThresholdMicros = 1001;

using AddFunction = void (*)(EventList* list, uint32_t event, uint32_t code, const char* message);

// The registered list and its add function. Never destroyed, so that a
// producer still running while the process exits finds a valid (if empty)
// sink.
struct EventSink {
  RwLock lock;  // held for reading while adding, for writing to (un)register
  EventList* list GUARDED_BY(lock) = nullptr;
  AddFunction add GUARDED_BY(lock) = nullptr;
};

EventSink& event_sink() {
  static EventSink* sink = new EventSink;
  return *sink;
}

void add_to_list(EventList* list, uint32_t event, uint32_t code, const char* message) {
  list->add_event(event, code, message);
}

// A heap copy of text, or null when memory runs out.
std::unique_ptr<char[]> copy_message(const char* text) {
  size_t size = std::strlen(text) + 1;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
  if (copy) std::memcpy(copy.get(), text, size);
  return copy;
}

// The release policy of the list's lock.
void release_with_retry(const std::function<int()>& unlock_once) {
  unlock_with_retry(unlock_once, [](uint64_t micros) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  });
}

}  // namespace

void unlock_with_retry(const std::function<int()>& unlock,
                       const std::function<void(uint64_t micros)>& sleep) {
  uint64_t delay = kFirstUnlockRetryMicros;
  while (unlock() != 0) {
    sleep(delay);
    // Doubling stops short of overflow, far beyond any useful delay.
    if (delay <= std::numeric_limits<uint64_t>::max() / 2) delay *= 2;
    if (delay >= kUnlockLogThresholdMicros) log_message("event list still fail to unlock");
  }
}

EventList::EventList(EventListOwner* owner) : owner_(owner), lock_(&release_with_retry) {}

EventList::~EventList() { unregister_event_sink(this); }

void EventList::on_event(uint32_t, uint32_t, const char*) {}

EventEntry* EventList::find_event(uint32_t, uint32_t, const char*) { return nullptr; }

bool EventList::deliver(EventEntry& entry) {
  owner_->dispatch_client_event(entry.event, entry.code,
                                entry.message ? std::string(entry.message.get()) : std::string());
  return true;
}

std::string EventList::count_text() {
  ReaderLock hold(&lock_);
  if (hold.error() != 0) {
    log_message("event list fail to rdlock");
    return std::string();
  }
  return decimal_text(count_);
}

void EventList::add_event(uint32_t event, uint32_t code, const char* message) {
  WriterLock hold(&lock_);
  if (hold.error() != 0) {
    log_message("event list fail to wrlock");
    return;
  }
  const char* text = message != nullptr ? message : "";
  // The entry of every producer (a background thread), which has no use for
  // a failure: a hook or a delivery that throws is logged here. The lambda
  // runs under the lock taken above, which the analysis does not follow.
  guarded_with(
      [event](const char* reason) {
        log_message("event list fail to add event %u: %s", event, reason);
      },
      [&]() NO_THREAD_SAFETY_ANALYSIS { record_event(event, code, text); });
}

void EventList::record_event(uint32_t event, uint32_t code, const char* text) {
  on_event(event, code, text);
  EventEntry* entry = find_event(event, code, text);
  if (entry != nullptr) {
    log_message("event exist");
  } else {
    entry = &ring_[next_];
    if (count_ < kCapacity) ++count_;
    next_ = (next_ + 1) % kCapacity;
    entry->delivered = false;
  }
  entry->time = now_ms();
  entry->event = event;
  entry->code = code;
  entry->message.reset();
  entry->message = copy_message(text);
  if (!entry->message) log_message("event list fail to dup msg %s", text);
  if (ready_) entry->delivered = deliver(*entry);
}

void EventList::start_delivery() {
  WriterLock hold(&lock_);
  if (hold.error() != 0) {
    log_message("event list fail to wrlock");
    return;
  }
  if (!ready_) {
    ready_ = true;
    ThreadGate::Pass pass = owner_->thread_gate().enter();
    // Without a thread the list stays ready: every later event is delivered
    // as it is added; only the ones held now are not.
    if (pass) {
      start_thread("event list fail to start delivery",
                   [this, pass = std::move(pass)]() noexcept { deliver_pending(); });
    }
  }
}

void EventList::deliver_pending() noexcept {
  ReaderLock hold(&lock_);
  if (hold.error() != 0) {
    log_message("event list fail to rdlock");
    return;
  }
  // Writers are excluded; the other readers do not write, and `delivered`
  // is atomic for the ones that read it.
  for (uint32_t i = 0; i < count_; ++i) {
    EventEntry& entry = held_entry(i);
    if (entry.delivered) continue;
    // One delivery that fails leaves the others to come.
    guarded_with(
        [&entry](const char* reason) {
          log_message("event list fail to deliver event %u: %s", entry.event, reason);
        },
        [&] { entry.delivered = deliver(entry); });
  }
}

std::vector<EventSnapshot> EventList::entries() {
  std::vector<EventSnapshot> held;
  ReaderLock hold(&lock_);
  if (hold.error() != 0) {
    log_message("event list fail to rdlock");
    return held;
  }
  try {
    held.reserve(count_);
    for (uint32_t i = 0; i < count_; ++i) {
      const EventEntry& entry = held_entry(i);
      EventSnapshot copy;
      copy.delivered = entry.delivered;
      copy.time = entry.time;
      copy.event = entry.event;
      copy.code = entry.code;
      copy.has_message = entry.message != nullptr;
      if (copy.has_message) copy.message = entry.message.get();
      held.push_back(std::move(copy));
    }
  } catch (const std::bad_alloc&) {
    log_message("event list fail to copy events");
    held.clear();
  }
  return held;
}

std::string EventList::events_json() {
  std::vector<EventSnapshot> held = entries();
  if (held.empty()) return std::string();
  json11::Json::array items;
  items.reserve(held.size());
  for (const EventSnapshot& entry : held) {
    json11::Json::object item{
        {"ts", json11::Json(entry.time)},
        {"event", json11::Json(entry.event)},
        {"code", json11::Json(entry.code)},
    };
    if (entry.has_message) item.emplace("msg", json11::Json(entry.message));
    items.emplace_back(std::move(item));
  }
  return json11::Json(std::move(items)).dump();
}

void register_event_sink(EventList* list) {
  EventSink& sink = event_sink();
  WriterLock hold(&sink.lock);
  if (hold.error() != 0) {
    log_message("event sink fail to wrlock: %s", std::strerror(hold.error()));
    return;
  }
  sink.list = list;
  sink.add = list != nullptr ? &add_to_list : nullptr;
}

void unregister_event_sink(EventList* list) {
  EventSink& sink = event_sink();
  WriterLock hold(&sink.lock);
  if (hold.error() != 0) {
    log_message("event sink fail to wrlock: %s", std::strerror(hold.error()));
    return;
  }
  if (sink.list != list) return;
  sink.list = nullptr;
  sink.add = nullptr;
}

void send_event(uint32_t event, uint32_t code, const char* message) {
  EventSink& sink = event_sink();
  ReaderLock hold(&sink.lock);
  if (hold.error() != 0) {
    log_message("event sink fail to rdlock: %s", std::strerror(hold.error()));
    return;
  }
  if (sink.list != nullptr && sink.add != nullptr) sink.add(sink.list, event, code, message);
}

void send_event_format(uint32_t event, uint32_t code, const char* format, ...) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kEventMessageSize]);
  if (!buffer) return;
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer.get(), kEventMessageSize, format, args);
  va_end(args);
  if (written < 0) buffer[0] = '\0';
  send_event(event, code, buffer.get());
}

}  // namespace risk
