// The settings: the option keys the library reads from an application's
// options and a call's options. Every reader names its key from here.
//
// The script side lists the same keys: SETTINGS in js/index.js (which warns
// about any other KEY_/PRIVATE_ key) and the Settings interface of
// js/index.d.ts; settings_test checks both files against kSettings. A new
// setting goes in all three, in the same order. Constants only; any thread.
#ifndef RISK_BASE_SETTINGS_H_
#define RISK_BASE_SETTINGS_H_

namespace risk {

// Token service address.
constexpr char kUrlSetting[] = "KEY_URL";
// Situation service address ("KEY_URL" does not stand in for it).
constexpr char kSituationUrlSetting[] = "KEY_SITUATION_URL";
// Cipher scheme: "legacy" or "gm".
constexpr char kAlgorithmSetting[] = "KEY_MANAGER_ALGORITHM";
// How long a caller waits for an exchange, in milliseconds.
constexpr char kDelaySetting[] = "KEY_DELAY_MS_TIME";
// "true": ask the token service although a token is held.
constexpr char kForceRefreshSetting[] = "PRIVATE_FORCE_REFRESH";
// "clear" or "true": ask the token service and lift the rate limit.
constexpr char kClearTokenSetting[] = "PRIVATE_CLEAR_TOKEN";
// Per-collector reporting limit, in milliseconds.
constexpr char kCollectTimeoutSetting[] = "PRIVATE_COLLECT_TIMEOUT";
// Sealed list of collectors to skip.
constexpr char kSkipListSetting[] = "PRIVATE_BLACK";

// Every setting, in the order the script side lists them.
constexpr const char* kSettings[] = {
    kUrlSetting,          kSituationUrlSetting, kAlgorithmSetting,      kDelaySetting,
    kForceRefreshSetting, kClearTokenSetting,   kCollectTimeoutSetting, kSkipListSetting,
};

}  // namespace risk

#endif  // RISK_BASE_SETTINGS_H_
