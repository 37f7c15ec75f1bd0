// @ts-check
'use strict';
// What every data key the library sends means: the keys of a token request
// (collectors, bookkeeping, caller data), of a business sign and of a
// situation report. For each key: where the value comes from, what it is,
// and how far it identifies the device:
//   "yes"     identifies the device or this installation on its own
//   "partly"  narrows the device down together with other keys (model,
//             build, kernel, memory and disk sizes, boot time, ...)
//   "depends" caller data: whatever the application puts there
//   "no"      times, counts, versions of the SDK and the like
// Used by the decode tool and the tests; pure data and look-ups.

const IDENTIFYING = Object.freeze(['yes', 'partly', 'depends', 'no']);

// Where a key can appear.
const REQUEST = 'request';      // the data of a token request or degrade token
const SIGN = 'sign';            // the fields of a business sign
const SITUATION = 'situation';  // the body of a situation report

const USER_PREFIX = 'user_';

/**
 * @typedef {object} Entry
 * @property {string} key
 * @property {string} source where the value comes from
 * @property {string} meaning
 * @property {string} identifying one of IDENTIFYING
 * @property {readonly string[]} contexts REQUEST, SIGN, SITUATION: where the key can appear
 */

/**
 * @param {string} key
 * @param {string} source
 * @param {string} meaning
 * @param {string} identifying
 * @param {string[]} [contexts]
 * @returns {Readonly<Entry>}
 */
function entry(key, source, meaning, identifying, contexts = [REQUEST]) {
  return Object.freeze({ key, source, meaning, identifying, contexts: Object.freeze(contexts) });
}

// Device properties handed to setup by the script layer, copied into every
// token request (collector "device_info") and every business sign.
const DEVICE = [
  ['deviceType', 'deviceType', 'device type (phone, tablet, ...)', 'partly'],
  ['manufacture', 'manufacture', 'manufacturer', 'partly'],
  ['K19', 'brand', 'brand', 'partly'],
  ['K18', 'marketName', 'market name of the model', 'partly'],
  ['productSeries', 'productSeries', 'product series', 'partly'],
  ['K20', 'productModel', 'product model', 'partly'],
  ['softwareModel', 'softwareModel', 'software model', 'partly'],
  ['hardwareModel', 'hardwareModel', 'hardware model', 'partly'],
  ['K1315', 'bootloaderVersion', 'bootloader version', 'partly'],
  ['K21', 'abiList', 'supported ABIs', 'partly'],
  ['K1061', 'securityPatchTag', 'security patch level', 'partly'],
  ['K22', 'displayVersion', 'OS version as displayed', 'partly'],
  ['K1084', 'incrementalVersion', 'incremental build version', 'partly'],
  ['osReleaseType', 'osReleaseType', 'OS release type', 'no'],
  ['osFullName', 'osFullName', 'full OS name', 'partly'],
  ['K13', 'versionId', 'OS version identifier', 'partly'],
  ['K1073', 'buildType', 'build type', 'partly'],
  ['K1068', 'buildUser', 'user that built the OS image', 'partly'],
  ['K15', 'buildHost', 'host that built the OS image', 'partly'],
  ['K16', 'buildTime', 'build time of the OS image', 'partly'],
  ['buildRootHash', 'buildRootHash', 'root hash of the OS build', 'partly'],
  ['distributionOSName', 'distributionOSName', 'distribution OS name', 'no'],
  ['K11', 'distributionOSVersion', 'distribution OS version', 'partly'],
  ['distributionOSApiName', 'distributionOSApiName', 'distribution OS API name', 'no'],
  ['distributionOSReleaseType', 'distributionOSReleaseType', 'distribution OS release type', 'no'],
  ['majorVersion', 'majorVersion', 'OS major version number', 'partly'],
  ['seniorVersion', 'seniorVersion', 'OS senior version number', 'partly'],
  ['featureVersion', 'featureVersion', 'OS feature version number', 'partly'],
  ['buildVersion', 'buildVersion', 'OS build version number', 'partly'],
  ['sdkApiVersion', 'sdkApiVersion', 'OS SDK API level', 'partly'],
  ['firstApiVersion', 'firstApiVersion', 'API level the device shipped with', 'partly'],
  ['distributionOSApiVersion', 'distributionOSApiVersion', 'distribution OS API level', 'partly'],
].map(([key, property, meaning, identifying]) => entry(
  key, `device information "${property}" (setup; collector device_info)`, meaning, identifying, [REQUEST, SIGN],
));

const ENTRIES = [
  ...DEVICE,
  // collector "oaid"
  entry('K353', 'bridge getOaid (collector oaid)', 'advertising identifier (left out when all zeros)', 'yes', [REQUEST, SIGN]),
  // collector "times_info"
  entry('K200', 'clock (collector times_info)', 'time of collection, ms since the epoch', 'no'),
  entry('K202', '/proc/uptime and the clock (collector times_info)', 'boot time, s since the epoch', 'partly'),
  entry('K205', '/proc/uptime (collector times_info)', 'uptime and idle time, s', 'partly'),
  // members of the time information of the reference Linux bridge
  entry('timezone', 'bridge getTimeInfo (collector times_info)', 'time zone name', 'partly'),
  entry('utcOffsetMinutes', 'bridge getTimeInfo (collector times_info)', 'offset of local time from UTC, minutes', 'partly'),
  // collector "uuid"
  entry('K58', 'stored SDK property (collector uuid)', 'installation identifier: random UUID kept in the preferences, or the one the service sent', 'yes'),
  // collector "app_sign_md5"
  entry('K7', 'bridge getAppSignature (collector app_sign_md5)', 'signature of the application package', 'no'),
  // collector "mem_info"
  entry('K66-1', '/proc/meminfo MemTotal (collector mem_info)', 'total memory', 'partly'),
  entry('K66-2', '/proc/meminfo MemFree (collector mem_info)', 'free memory', 'no'),
  entry('K67-1', 'statfs("/data") (collector mem_info)', 'free bytes of the data file system', 'partly'),
  entry('K67-2', 'statfs("/data") (collector mem_info)', 'size in bytes of the data file system', 'partly'),
  // collector "fonts_hash"
  entry('K60', 'listing of /system/fonts (collector fonts_hash)', 'MD5 of the installed font file names', 'partly'),
  // collector "cpu_info"
  entry('K31', '/proc/cpuinfo "Features" (collector cpu_info)', 'CPU features (ARM)', 'partly'),
  entry('K32', '/proc/cpuinfo "flags" (collector cpu_info)', 'CPU flags (x86)', 'partly'),
  entry('K33', '/proc/cpuinfo "Hardware" (collector cpu_info)', 'SoC hardware name', 'partly'),
  entry('K36', '/proc/cpuinfo "module_name" (collector cpu_info)', 'CPU module name', 'partly'),
  entry('K37', '/proc/cpuinfo "Processor" (collector cpu_info)', 'processor name', 'partly'),
  entry('K30', 'sysconf (collector cpu_info)', 'number of configured processors', 'partly'),
  entry('K34', '/sys/.../cpu0/cpufreq/cpuinfo_max_freq (collector cpu_info)', 'highest CPU frequency, kHz', 'partly'),
  entry('K35', '/sys/.../cpu0/cpufreq/cpuinfo_min_freq (collector cpu_info)', 'lowest CPU frequency, kHz', 'partly'),
  entry('K39', '/sys/.../cpu0/cpufreq/scaling_cur_freq (collector cpu_info)', 'current CPU frequency, kHz', 'no'),
  entry('K40', '/sys/class/thermal/thermal_zone0/temp (collector cpu_info)', 'temperature of thermal zone 0, m°C', 'no'),
  entry('K41', '/sys/devices/system/cpu/present (collector cpu_info)', 'present CPUs', 'partly'),
  // collector "app_info"
  entry('K2', 'application information "name" (collector app_info)', 'application name', 'no'),
  entry('K4', 'application information "versionName" (collector app_info)', 'application version name', 'no'),
  entry('K850', 'application information "versionCode" (collector app_info)', 'application version code', 'no'),
  // collector "hard_id_list"
  entry('K290', '/proc/sys/kernel/random/boot_id (collector hard_id_list)', 'boot identifier: the same until the next reboot', 'yes'),
  entry('K291', '/proc/sys/kernel/random/uuid (collector hard_id_list)', 'a fresh random UUID from the kernel', 'no'),
  entry('K292', 'uname release (collector hard_id_list)', 'kernel release', 'partly'),
  entry('K293', 'uname version (collector hard_id_list)', 'kernel version and build time', 'partly'),
  // collector "event_history"
  entry('K350', 'event list (collector event_history)', 'recent runtime events as JSON: ts, event, code, msg', 'no', [REQUEST, SIGN, SITUATION]),
  // written by the collection itself and the token request
  entry('K300', 'collection', 'time the collectors took, ms', 'no'),
  entry('K450', 'collection', 'collectors that overran their time limit, each followed by ","', 'no'),
  entry('K451', 'token request', 'time the collection started, ms since the epoch', 'no'),
  entry('K452', 'token request', 'time the collection ended, ms since the epoch', 'no'),
  // business sign and situation report
  entry('ulvok', 'token record', 'the device token (or, in a sign, a degrade token)', 'yes', [SIGN, SITUATION]),
  entry('timestamp', 'clock', 'time the sign was made, ms since the epoch', 'no', [SIGN]),
  entry('K3000', 'stored property "Scene" (setScene)', 'scene set by the application, "default" when none', 'no', [SIGN]),
  entry('K3002', 'stored property "SITUATION_UP_TIME"', 'time of the last situation report, ms since the epoch', 'no', [SIGN]),
  entry('os_type', 'SDK', 'OS type, 2', 'no', [SIGN, SITUATION]),
  entry('K8', 'SDK', 'SDK version', 'no', [SIGN]),
  entry('version', 'SDK', 'SDK version', 'no', [SITUATION]),
];

const BY_KEY = new Map(ENTRIES.map((e) => [e.key, e]));

// The catalogue entry of a key; caller data ("user_" keys) and keys not in
// the catalogue get a generated entry with known = false for the latter.
// Members of the platform time information (getTimeInfo) are whatever the
// script layer answers, so an unknown key of a request may be one of them.
/**
 * @param {unknown} key
 * @returns {Entry & { known: boolean }}
 */
function describe(key) {
  const k = String(key);
  const e = BY_KEY.get(k);
  if (e) return { ...e, known: true };
  if (k.startsWith(USER_PREFIX)) {
    return {
      key: k,
      source: 'caller option (init or the call)',
      meaning: `application data "${k.slice(USER_PREFIX.length)}"`,
      identifying: 'depends',
      contexts: [REQUEST, SIGN],
      known: true,
    };
  }
  return {
    key: k,
    source: 'unknown (in a request: possibly a member of bridge getTimeInfo)',
    meaning: 'not in the catalogue',
    identifying: 'depends',
    contexts: [],
    known: false,
  };
}

// Every catalogued key, in catalogue order.
/** @returns {string[]} */
function keys() {
  return ENTRIES.map((e) => e.key);
}

// Keys of the device properties, by device information property name (every
// device source names its property in double quotes).
const DEVICE_PROPERTY_KEYS = Object.freeze(Object.fromEntries(DEVICE.map((e) => [
  /** @type {RegExpExecArray} */ (/"([^"]+)"/.exec(e.source))[1], e.key,
])));

module.exports = {
  IDENTIFYING,
  REQUEST,
  SIGN,
  SITUATION,
  USER_PREFIX,
  ENTRIES,
  DEVICE_PROPERTY_KEYS,
  describe,
  keys,
};
