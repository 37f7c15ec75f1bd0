#include "platform/harmony_event_list.h"

namespace risk {

void HarmonyEventList::on_event(uint32_t, uint32_t, const char*) {}

EventEntry* HarmonyEventList::find_event(uint32_t, uint32_t, const char*) { return nullptr; }

bool HarmonyEventList::deliver(EventEntry&) { return false; }

}  // namespace risk
