#include "bridge/module/arguments.h"

#include "base/log.h"

namespace risk {

StringMap pairs_to_map(napi_env env, napi_value array) {
  StringMap map;
  uint32_t length = 0;
  if (array == nullptr || napi_get_array_length(env, array, &length) != napi_ok) return map;
  if (length > kMaxOptionEntries) {
    log_message("options array of %u entries, the first %u read", length, kMaxOptionEntries);
    length = kMaxOptionEntries;
  }
  for (uint32_t i = 0; i < length; i += 2) {
    napi_handle_scope scope = nullptr;
    napi_open_handle_scope(env, &scope);
    napi_value key = nullptr;
    napi_value value = nullptr;
    // An element getter that throws ends the reading; its exception stays
    // pending for the script. With an odd length the last key reads the
    // missing element: "".
    const bool thrown =
        napi_get_element(env, array, i, &key) == napi_pending_exception ||
        (i + 1 < length && napi_get_element(env, array, i + 1, &value) == napi_pending_exception);
    // emplace keeps the first occurrence of a key.
    if (!thrown) {
      map.emplace(js_to_string(env, key), value != nullptr ? js_to_string(env, value) : "");
    }
    napi_close_handle_scope(env, scope);
    if (thrown) break;
  }
  return map;
}

}  // namespace risk
