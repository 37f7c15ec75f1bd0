// The event list: a ring of the last 100 runtime events (event number, code,
// message) of one SDK, and the process-wide sink that feeds it.
//
// Producers (background threads of the runtime guards) call send_event /
// send_event_format at any time and never see the list. The list is owned by
// its SDK (created by RiskSdk::create_event_list), which it reaches only
// through the EventListOwner interface below; the sink points at the list of
// the last SDK set up and forgets it when that list is destroyed.
//
// One reader-writer lock guards the ring: add_event and start_delivery take
// it for writing; events_json, count_text, entries and the delivery worker
// for reading, each through a scoped hold, so that every way out of them
// gives it back (with unlock_with_retry). A lock that cannot be taken is
// logged and the operation skipped. deliver() runs with the lock held, so
// it must not call back into the list; the base deliver takes the SDK's
// apps mutex inside it (lock order: event list, then SDK). The delivery worker holds a pass of the
// owner's ThreadGate, so it never outlives the SDK.
//
// Platform subclasses live with the platform (platform/harmony_event_list.h).
#ifndef RISK_SITUATION_EVENT_LIST_H_
#define RISK_SITUATION_EVENT_LIST_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/thread_gate.h"

namespace risk {

// What an event list needs of the object that owns it (RiskSdk implements
// it): the hand-over of one event to the applications, and the gate the
// delivery worker passes.
class EventListOwner {
 public:
  // Hands one event to every application; false once destruction has begun.
  virtual bool dispatch_client_event(uint32_t type, uint32_t code, const std::string& text) = 0;
  // The gate of every thread that points into the owner.
  virtual ThreadGate& thread_gate() = 0;

 protected:
  ~EventListOwner() = default;
};

// One ring slot.
struct EventEntry {
  // The result of the last delivery attempt. Atomic because the delivery
  // worker writes it under the read lock.
  std::atomic<bool> delivered{false};
  int64_t time = 0;  // now_ms when the slot was last written
  uint32_t event = 0;
  uint32_t code = 0;
  // NUL-terminated copy of the message; null only if copying failed.
  std::unique_ptr<char[]> message;
};

// A copy of one held entry, for readers outside the lock.
struct EventSnapshot {
  bool delivered = false;
  int64_t time = 0;
  uint32_t event = 0;
  uint32_t code = 0;
  bool has_message = false;
  std::string message;
};

class EventList {
 public:
  static constexpr uint32_t kCapacity = 100;

  // REQUIRES: owner is not null and owns this list.
  explicit EventList(EventListOwner* owner);
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;
  // Unregisters the list from the sink if it is registered there.
  virtual ~EventList();

  // --- Virtual operations, in slot order. Slots 1 to 3 run under the
  // write lock (deliver also under the read lock, from the worker): they
  // must not call back into the list. ---

  // 1. Called for every event before it is stored; does nothing here.
  virtual void on_event(uint32_t event, uint32_t code, const char* message);
  // 2. An existing entry to rewrite instead of taking a new slot; none here.
  virtual EventEntry* find_event(uint32_t event, uint32_t code, const char* message);
  // 3. Hands one entry on: calls the owner's dispatch_client_event and returns
  // true whatever it answers.
  virtual bool deliver(EventEntry& entry);
  // 4. The number of held events as decimal text; "" when the lock cannot
  // be taken.
  virtual std::string count_text() EXCLUDES(lock_);

  // Records an event; message may be null (stored as ""). Once the list is
  // ready the entry is delivered at once. Any thread.
  void add_event(uint32_t event, uint32_t code, const char* message) EXCLUDES(lock_);

  // Marks the list ready and, on the first call only, starts the worker
  // that delivers every held undelivered entry. Called on the script thread
  // ("readyToCallback").
  void start_delivery() EXCLUDES(lock_);

  // The held entries, oldest first, as a JSON array of objects with the
  // members "code", "event", "msg" (left out when the copy failed) and "ts";
  // "" when the list is empty or the lock cannot be taken.
  std::string events_json() EXCLUDES(lock_);

  // Copies of the held entries, oldest first; empty when the lock cannot be
  // taken.
  std::vector<EventSnapshot> entries() EXCLUDES(lock_);

  EventListOwner* owner() const { return owner_; }

 private:
  // Runs on the delivery worker, as its entry.
  void deliver_pending() noexcept EXCLUDES(lock_);
  // add_event's work under the lock: the hook, the entry, its delivery.
  void record_event(uint32_t event, uint32_t code, const char* text) REQUIRES(lock_);
  // The i-th oldest held entry. REQUIRES: i < count_.
  EventEntry& held_entry(uint32_t i) REQUIRES_SHARED(lock_) {
    return ring_[(next_ + kCapacity - count_ + i) % kCapacity];
  }

  EventListOwner* const owner_;
  RwLock lock_;  // given back with unlock_with_retry
  EventEntry ring_[kCapacity] GUARDED_BY(lock_);
  uint32_t count_ GUARDED_BY(lock_) = 0;  // 0..100
  uint32_t next_ GUARDED_BY(lock_) = 0;   // 0..99
  bool ready_ GUARDED_BY(lock_) = false;
};

// --- The process-wide sink. ---

// Makes list the target of send_event, replacing any earlier one; null
// clears it. Called first by every platform setup.
void register_event_sink(EventList* list);

// Clears the sink if list is the registered one; waits for adds in
// progress. Called by the SDK's shutdown and the list's destructor.
void unregister_event_sink(EventList* list);

// Adds the event to the registered list; dropped when none is registered.
// Any thread.
void send_event(uint32_t event, uint32_t code, const char* message);

// Formats the message printf-style into 1024 bytes (longer text is cut to
// 1023 characters) and calls send_event; dropped when the buffer cannot be
// allocated.
void send_event_format(uint32_t event, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Releases a lock: calls unlock until it returns 0, sleeping 200 µs before
// the first retry and twice as long before each further one (no upper
// bound). From the moment the doubled delay reaches 1001 µs (right after
// the 800 µs sleep) every retry is preceded by the log line
// "event list still fail to unlock". Never gives up.
void unlock_with_retry(const std::function<int()>& unlock,
                       const std::function<void(uint64_t micros)>& sleep);

}  // namespace risk

#endif  // RISK_SITUATION_EVENT_LIST_H_
