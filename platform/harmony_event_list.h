// HarmonyEventList: the platform's event list. Events are never handed on
// one by one (deliver does nothing and returns false); they travel only
// inside "K350". Created by HarmonyRiskSdk::create_event_list and owned by
// that SDK; threads as for EventList.
#ifndef RISK_PLATFORM_HARMONY_EVENT_LIST_H_
#define RISK_PLATFORM_HARMONY_EVENT_LIST_H_

#include <cstdint>

#include "situation/event_list.h"

namespace risk {

class HarmonyEventList : public EventList {
 public:
  explicit HarmonyEventList(EventListOwner* owner) : EventList(owner) {}
  void on_event(uint32_t event, uint32_t code, const char* message) override;
  EventEntry* find_event(uint32_t event, uint32_t code, const char* message) override;
  bool deliver(EventEntry& entry) override;
};

}  // namespace risk

#endif  // RISK_PLATFORM_HARMONY_EVENT_LIST_H_
