// Readers of the natives' script arguments: the fixed argument list of a
// call and the options array of key/value pairs. Script thread of `env`;
// the values belong to the current call. Nothing here throws into the
// script; a reader that meets a throwing getter stops there and leaves its
// exception pending.
#ifndef RISK_BRIDGE_MODULE_ARGUMENTS_H_
#define RISK_BRIDGE_MODULE_ARGUMENTS_H_

#include <cstddef>
#include <cstdint>

#include "base/types.h"
#include "bridge/host.h"
#include "bridge/napi_helpers.h"

namespace risk {

// An options array holds a few dozen entries. A longer one (a sparse array
// can claim 2^32 - 1) is read up to this many, so that the script thread is
// never held for long.
constexpr uint32_t kMaxOptionEntries = 1u << 16;

// Reads up to N arguments; the missing ones are undefined.
template <size_t N>
void read_args(napi_env env, napi_callback_info info, napi_value (&argv)[N]) {
  size_t argc = N;
  for (napi_value& arg : argv) arg = nullptr;
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  for (size_t i = argc; i < N; ++i) argv[i] = undefined_value(env);
}

// The options array [key0, value0, key1, value1, ...] as a map of texts: the
// first occurrence of a key wins, a last key without its value gets "", a
// non-array gives the empty map; at most kMaxOptionEntries entries are read
// (logged when there are more). An element getter that throws ends the
// reading with what was read before; its exception stays pending.
StringMap pairs_to_map(napi_env env, napi_value array);

}  // namespace risk

#endif  // RISK_BRIDGE_MODULE_ARGUMENTS_H_
