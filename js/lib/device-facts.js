// @ts-check
'use strict';
// The machine facts of the reference bridge: the device information the
// library reads at setup, the system's name and version, and the time
// zone, from /etc/os-release, /sys/class/dmi/id, /proc/version and the os
// module. Files that cannot be read give empty texts.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

/** @typedef {import('../index').DeviceInfo} DeviceInfo */

/**
 * @param {string} file
 * @returns {string} the trimmed text, "" when the file cannot be read
 */
function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8').trim();
  } catch (e) {
    return '';
  }
}

// /etc/os-release (or /usr/lib/os-release) as { KEY: value }.
/**
 * @param {string} [root]
 * @returns {Record<string, string | undefined>}
 */
function readOsRelease(root = '') {
  const text = readText(path.join(root, '/etc/os-release')) || readText(path.join(root, '/usr/lib/os-release'));
  /** @type {Record<string, string>} */
  const out = {};
  for (const line of text.split('\n')) {
    const m = /^([A-Z0-9_]+)=(.*)$/.exec(line.trim());
    if (!m) continue;
    let v = m[2];
    if (/^(["']).*\1$/.test(v)) v = v.slice(1, -1).replace(/\\(["'$`\\])/g, '$1');
    out[m[1]] = v;
  }
  return out;
}

// SMBIOS chassis type (/sys/class/dmi/id/chassis_type) as a device type.
/**
 * @param {string} code
 * @returns {string}
 */
function chassisDeviceType(code) {
  const n = Number.parseInt(code, 10);
  if ([8, 9, 10, 14, 31, 32].includes(n)) return 'laptop';
  if ([30].includes(n)) return 'tablet';
  if ([17, 23, 28, 29].includes(n)) return 'server';
  if ([3, 4, 5, 6, 7, 13, 15, 16, 35, 36].includes(n)) return 'desktop';
  return 'unknown';
}

/** @type {Record<string, string | undefined>} */
const ABI_OF_MACHINE = { x86_64: 'x86_64', aarch64: 'arm64-v8a', arm64: 'arm64-v8a', armv7l: 'armeabi-v7a', i686: 'x86' };

/**
 * @param {string | undefined} text
 * @returns {number} 0 for undefined and other texts that are no number
 */
function numberOr0(text) {
  const n = Number.parseInt(/** @type {string} */ (text), 10);  // undefined parses as NaN
  return Number.isFinite(n) ? n : 0;
}

// The device information object for "setupNative": the 25 string members
// and the 7 integer members the library reads, from this machine. Members
// given in `overrides` replace the machine's.
/**
 * @param {Partial<DeviceInfo>} [overrides]
 * @returns {DeviceInfo}
 */
function deviceInfo(overrides = {}) {
  const rel = readOsRelease();
  const dmi = (/** @type {string} */ name) => readText(`/sys/class/dmi/id/${name}`);
  const machine = os.machine();
  const kernel = os.release();                 // e.g. "6.1.0-18-amd64"
  const kernelVersion = os.version();          // e.g. "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)"
  const procVersion = readText('/proc/version');
  const builder = /\(([^@()\s]+)@([^()\s]+)\)/.exec(procVersion) || [];
  const buildTime = /\(([^()]*\d{4}[^()]*)\)\s*$/.exec(kernelVersion);
  const parts = kernel.split(/[.-]/);
  const cpus = os.cpus();
  const name = rel.NAME || os.type();
  const version = rel.VERSION || rel.VERSION_ID || kernel;
  /** @type {Required<DeviceInfo>} */
  const info = {
    deviceType: chassisDeviceType(dmi('chassis_type')),
    manufacture: dmi('sys_vendor'),
    brand: dmi('board_vendor') || dmi('sys_vendor'),
    marketName: dmi('product_name'),
    productSeries: dmi('product_family'),
    productModel: dmi('product_version') || dmi('product_name'),
    softwareModel: [rel.ID, rel.VERSION_ID].filter(Boolean).join('-'),
    hardwareModel: cpus.length > 0 ? cpus[0].model : machine,
    bootloaderVersion: dmi('bios_version'),
    abiList: ABI_OF_MACHINE[machine] || machine,
    securityPatchTag: buildTime ? buildTime[1] : '',
    displayVersion: rel.PRETTY_NAME || `${name} ${version}`,
    incrementalVersion: kernel,
    osReleaseType: rel.VERSION_CODENAME ? 'Release' : '',
    osFullName: `${name} ${version}`,
    versionId: rel.VERSION_ID || '',
    buildType: 'user',
    buildUser: builder[1] || '',
    buildHost: builder[2] || '',
    buildTime: buildTime ? buildTime[1] : '',
    buildRootHash: '',
    distributionOSName: name,
    distributionOSVersion: rel.VERSION_ID || '',
    distributionOSApiName: rel.VERSION_CODENAME || '',
    distributionOSReleaseType: 'Release',
    majorVersion: numberOr0(parts[0]),
    seniorVersion: numberOr0(parts[1]),
    featureVersion: numberOr0(parts[2]),
    buildVersion: numberOr0(parts[3]),
    sdkApiVersion: numberOr0(process.versions.napi),
    firstApiVersion: numberOr0(process.versions.napi),
    distributionOSApiVersion: numberOr0(rel.VERSION_ID),
  };
  return { ...info, ...overrides };
}

// The system's name and version ("Debian GNU/Linux 12 (bookworm)").
/** @returns {string} */
function osVersion() {
  const rel = readOsRelease();
  return rel.PRETTY_NAME || `${os.type()} ${os.release()}`;
}

// Names of UTC that Intl reports as "UTC".
const UTC_ALIASES = new Set(['UTC', 'UCT', 'GMT', 'GMT0', 'GMT+0', 'GMT-0', 'Greenwich', 'Universal',
  'Zulu'].flatMap((n) => [n, `Etc/${n}`]));

// The name of the machine's time zone ("Europe/Berlin") as TZ or the link
// /etc/localtime gives it, UTC's aliases as "UTC" (as Intl gives them);
// Intl itself only when neither names a zone (its first use in a process
// holds the thread for several milliseconds).
/** @returns {string} */
function timeZoneName() {
  let name = '';
  const tz = process.env.TZ;
  if (tz !== undefined) {
    if (/^:?[A-Za-z_]+(\/[A-Za-z0-9_+-]+)*$/.test(tz)) name = tz.replace(/^:/, '');
  } else {
    try {
      const m = /\/zoneinfo\/(.+)$/.exec(fs.readlinkSync('/etc/localtime'));
      if (m) name = m[1];
    } catch (e) {
      // Not a link: a copy of the zone file, or none.
    }
  }
  if (UTC_ALIASES.has(name)) return 'UTC';
  return name || Intl.DateTimeFormat().resolvedOptions().timeZone || '';
}

// The default time information: the time zone and its offset from UTC.
/** @returns {Record<string, string>} */
function defaultTimeInfo() {
  return {
    timezone: timeZoneName(),
    utcOffsetMinutes: String(-new Date().getTimezoneOffset()),
  };
}

module.exports = { deviceInfo, osVersion, readOsRelease, defaultTimeInfo };
