// Type declarations of the Node face of the native library (index.js) and
// of the reference Linux bridge (lib/reference-bridge.js).

/** The address of the SDK object made by setup; 0 stands for none. */
export type SdkHandle = number;

/**
 * The settings the library reads. Keys beginning with "KEY_" or "PRIVATE_"
 * are settings; any other such key is unknown to the library and draws a
 * warning (it is passed on unchanged).
 */
export interface Settings {
  /**
   * Token service address. Required: without it the library posts to a
   * built-in address under ".invalid" that never resolves, logs "KEY_URL is
   * not set: ...", and every call answers a degrade token. "scheme://host"
   * (two "/") gains the path "/udid/m1"; any other address is used as given.
   */
  KEY_URL?: string;
  /**
   * Situation service address. KEY_URL does not apply to reports: without
   * this one a report reaches nobody and its answer is "". "scheme://host"
   * gains "/udid/sa-m".
   */
  KEY_SITUATION_URL?: string;
  /** Cipher scheme; default "legacy". Other values warn and fall back to legacy. */
  KEY_MANAGER_ALGORITHM?: 'legacy' | 'gm';
  /** How long a call waits for an exchange, ms: default 5000, at most 30000. */
  KEY_DELAY_MS_TIME?: string | number;
  /** "true" (any case, spaces around): ask the service although a token is held. */
  PRIVATE_FORCE_REFRESH?: 'true' | string;
  /** "clear" or "true": ask the service and lift the rate limit (16 exchanges a minute). */
  PRIVATE_CLEAR_TOKEN?: 'clear' | 'true' | string;
  /** Per-collector reporting limit, ms; default 500. */
  PRIVATE_COLLECT_TIMEOUT?: string | number;
  /** Sealed list of collectors to skip. */
  PRIVATE_BLACK?: string;
}

/** The names of Settings, in the order the documentation lists them. */
export const SETTINGS: readonly (keyof Settings)[];

/**
 * Options of one application or one call: the settings above, and caller
 * data (every other key, sent as "user_" + key). Values become text (objects
 * as JSON); undefined members are left out. A flat array may hold texts,
 * numbers and booleans (made text); any other array throws an OptionsError.
 *
 * Settings and caller data share this one namespace: a key that begins with
 * "KEY_" or "PRIVATE_" is a setting wherever it comes from. Never spread
 * untrusted data (a request body, a user's profile) into options directly:
 * a key "KEY_URL" in it would send the device's data to another address.
 * Pass such data through callerData, whose keys can never be settings.
 */
export type Options =
  | (Settings & Record<string, unknown>)
  | Map<string, unknown>
  | Array<[string, unknown]>
  | string[];

/**
 * The KEY_ and PRIVATE_ members of O that are not Settings, each typed
 * never: a misspelt setting (KEY_URLL) fails the type check. Maps and
 * arrays are not looked into.
 */
export type UnknownSettings<O> = {
  [K in keyof O as K extends keyof Settings ? never
    : K extends `KEY_${string}` | `PRIVATE_${string}` ? K : never]: never;
};
/** Options whose settings are all known. */
export type CheckedOptions<O> = O & UnknownSettings<O>;

/** The application facts handed to setup. */
export interface AppInfo {
  name?: string;
  versionCode?: number;
  versionName?: string;
}

/** The device facts handed to setup: 25 text and 7 integer members. */
export interface DeviceInfo {
  deviceType?: string;
  manufacture?: string;
  brand?: string;
  marketName?: string;
  productSeries?: string;
  productModel?: string;
  softwareModel?: string;
  hardwareModel?: string;
  bootloaderVersion?: string;
  abiList?: string;
  securityPatchTag?: string;
  displayVersion?: string;
  incrementalVersion?: string;
  osReleaseType?: string;
  osFullName?: string;
  versionId?: string;
  buildType?: string;
  buildUser?: string;
  buildHost?: string;
  buildTime?: string;
  buildRootHash?: string;
  distributionOSName?: string;
  distributionOSVersion?: string;
  distributionOSApiName?: string;
  distributionOSReleaseType?: string;
  majorVersion?: number;
  seniorVersion?: number;
  featureVersion?: number;
  buildVersion?: number;
  sdkApiVersion?: number;
  firstApiVersion?: number;
  distributionOSApiVersion?: number;
}

/** The answer "post" gives the library. */
export interface PostAnswer {
  responseCode: number;
  /** 0: result is a string; 1: an object (ignored); 2: an ArrayBuffer. */
  resultType: 0 | 1 | 2;
  result: string | object | ArrayBuffer;
}

/**
 * The script functions the library calls, always on the main thread, with
 * the bridge as `this`. Functions may answer with a promise, except
 * prefPut (called inline by setScene) and getOsVersion, which answer plainly.
 * A rejection passes its numeric "code" to the library.
 */
export interface Bridge {
  getDeviceInfo(name: string): string | Promise<string>;
  getAppSignature(): string | Promise<string>;
  getOaid(): string | Promise<string>;
  /** JSON object text; its string members enter the token request. */
  getTimeInfo(): string | Promise<string>;
  onSituationClientEvent(key: string, type: number, code: number, text: string): unknown;
  onSituationServerEvent(key: string, text: string): unknown;
  post(url: string, body: ArrayBuffer): PostAnswer | Promise<PostAnswer>;
  prefPut(name: string, value: string): unknown;
  prefGet(name: string): string | Promise<string>;
  getOsVersion(): string;
}

/** The raw exports of the library. */
export interface NativeModule {
  getBusinessSignNative(handle: SdkHandle, appKey: string, options: string[], text: string): Promise<string>;
  getDegradeTokenNative(handle: SdkHandle, appKey: string, options: string[]): Promise<string>;
  getTokenNative(handle: SdkHandle, appKey: string, options: string[]): Promise<string>;
  init(handle: SdkHandle, appKey: string, options: string[]): void;
  isDegradeTokenNative(handle: SdkHandle, appKey: string, token: string): boolean;
  readyToCallback(handle: SdkHandle): void;
  scheduleUpdateSituationNative(handle: SdkHandle, appKey: string, options: string[], delayMs: number): void;
  setSceneNative(handle: SdkHandle, appKey: string, scene: string): void;
  setupNative(bridge: Bridge, appInfo: AppInfo, deviceInfo: DeviceInfo,
    log?: 'off' | 'stderr' | 'default' | number | ((text: string, dropped: number) => void)): SdkHandle;
}

/**
 * Loads the library and returns its raw exports; the first call of any
 * function below loads it too. The file is `file`, else libraryPath().
 * Throws a LibraryError (one line saying what to do) when it cannot.
 */
export function load(file?: string): NativeModule;

/**
 * Thrown when no library can be loaded; code "RISK_LIBRARY_UNAVAILABLE".
 * `file`, `reason` and `advice` are set when a file was found but did not load.
 */
export class LibraryError extends Error {
  constructor(message: string, details?: { file?: string; reason?: string; advice?: string });
  readonly code: 'RISK_LIBRARY_UNAVAILABLE';
  /** The library file that did not load. */
  readonly file?: string;
  /** The first line of the loader's message, without the file name. */
  readonly reason?: string;
  /** What to do about it. */
  readonly advice?: string;
}

/**
 * The library file load() takes: RISK_LIBRARY when set; else this package's
 * prebuilds/<platform>-<arch>/libQuonRiskComm.so (linux-x64, linux-arm64);
 * else, in a repository checkout, ../build/libQuonRiskComm.so. Throws a
 * LibraryError when there is none. The options stand in for the process's.
 */
export function libraryPath(options?: {
  env?: Record<string, string | undefined>; platform?: string; arch?: string;
  prebuilds?: string; buildTree?: string;
}): { file: string; from: 'RISK_LIBRARY' | 'package' | 'build tree' };

/** The "<platform>-<arch>" names of the binaries this package carries. */
export function packagedPlatforms(prebuilds?: string): string[];

/**
 * Warns once per process (process.emitWarning) about unknown settings, a
 * KEY_MANAGER_ALGORITHM other than "legacy"/"gm", a service address without
 * a scheme, with a scheme other than http/https, with a trailing slash or a
 * path other than the service's ("/udid/m1", "/udid/sa-m"), and a
 * KEY_DELAY_MS_TIME that is not a number from 1 to 30000; returns the flat
 * pairs unchanged. Every function taking
 * options runs it; an empty application key warns too.
 */
export function checkSettings(pairs: string[]): string[];
/** Options as the natives' flat [key, value, key, value, ...] array. Throws an OptionsError for an array of the wrong shape. */
export function toPairs(options?: Options | null): string[];

/**
 * Caller data as options that can never be read as a setting: every key
 * gains the prefix "data_" (the service sees "user_data_" + key). Accepts
 * the forms of Options; combine with settings freely:
 * `{ KEY_DELAY_MS_TIME: '2000', ...callerData(untrusted) }`.
 */
export function callerData(data?: Options | null): Record<string, string>;

/** An options array that is neither flat (texts, numbers, booleans) nor made of [key, value] entries. */
export class OptionsError extends TypeError {
  constructor(message: string);
  readonly code: 'RISK_BAD_OPTIONS';
}

/**
 * Every function below except readyToCallback throws an Error
 * "RiskSdk is null, please call setup first." for an unknown handle; a
 * handle is known only in the script environment (main thread or worker
 * thread) whose setup returned it, so a handle passed to another worker
 * gets that error there (readyToCallback ignores it). The promise functions
 * throw "thread constructor failed" when no worker thread can be started.
 * Promises resolve, never reject. setup returns 0, and makes no SDK, when
 * the bridge is not an object.
 */
export function setup(bridge: Bridge, appInfo: AppInfo, deviceInfo: DeviceInfo, options?: SetupOptions): SdkHandle;

/**
 * Where the library's own log lines go (process-wide; the last setup that
 * gives one decides):
 * - not given: the default, nowhere, unless the environment turns it on:
 *   RISK_LOG=on sends it to stderr, RISK_LOG_FILE=path to a file
 *   (RISK_LOG=off: nowhere);
 * - "off": nowhere; "stderr": standard error, "[Risk] text" lines;
 *   "default": back to the default;
 * - { file }: appended to that file (opened non-blocking, never through a
 *   symbolic link; one that cannot be opened warns once, then stderr);
 * - a function: called on this thread with each line's text and how many
 *   lines were dropped so far. Lines wait in a queue of 1024; a line that
 *   finds it full is dropped and counted, so the library never waits for
 *   the script. What the function throws is ignored. The queue keeps no
 *   process alive.
 * The lines are notes for debugging the library, not faults of the app.
 */
export type LogDestination = 'off' | 'stderr' | 'default' | { file: string } | ((text: string, dropped: number) => void);

export interface SetupOptions {
  log?: LogDestination;
}
export function init<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>): void;
/**
 * The device token: a service token (1 to 40 bytes), or a degrade token when
 * none could be had (its last "!" field is the error code, ERROR_CODES of
 * quon-risk-comm/server).
 *
 * When a call asks the token service, and when it answers from what it holds.
 *
 * getToken answers with the held token (the one in memory, or the one stored
 * in the preferences, whichever is newer) without asking the service when
 * that token is less than 24 hours old AND nothing below applies:
 * - it is the first getToken for the application key in this process (the
 *   process checks in once, sending the stored token as the previous one);
 * - the number of runtime events held has changed since the last exchange;
 * - PRIVATE_FORCE_REFRESH or PRIVATE_CLEAR_TOKEN is set.
 * With no usable token it always asks (at most 16 exchanges a minute, one at
 * a time per key, waiting up to KEY_DELAY_MS_TIME); when that fails it
 * answers a degrade token, whose last field is the error code (ERROR_CODES in
 * quon-risk-comm/server). A failed forced refresh drops the token in memory;
 * the stored one stays. Business signs and situation reports use a held
 * token as it is and ask only when there is none.
 *
 * At start while offline, with a valid token stored: the first call of the
 * process checks in with the service, the check-in fails, and the call
 * answers a degrade token (not the stored one). An app that prefers the
 * stored token then can read it without an exchange through a business
 * sign (getBusinessSign uses a held token as it is; the sign's "ulvok"
 * field carries it), or call again once the network is back.
 * getTokenDetailed says which case it was (kind "degrade", cause.reason
 * "resolve", "connect" or "timeout").
 *
 * | code  | meaning | retry |
 * |-------|---------|-------|
 * | 0     | no failed exchange: none ran yet, one is under way, or the last one succeeded | yes |
 * | -1001 | the platform's post gave no answer at all | yes |
 * | -1002 | the answer did not decrypt: nothing came back (host not found, connection refused or broken, time limit, an HTTP error with an empty body) or it was sealed under another key or scheme | yes, when the service was not reached; no for a wrong key or scheme |
 * | -1003 | the answer decrypted but held no readable archive entry "data" | no |
 * | -1004 | the service answered with an empty payload | yes, later |
 * | -1005 | the payload is not a TokenResponse, or its body not a TokenPayload (a message of more than 16 fields counts as neither) | no |
 * | -1006 | the service answered without a token: status not 0, command not 1002, an empty body, or a token that is empty or longer than 40 bytes | yes, later |
 * | -1008 | the service refused this device (status -10006) | no |
 */
export function getToken<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>): Promise<string>;

/** Why a call answered a degrade token (see TokenCause). */
export type CauseReason =
  | 'invalid-host' | 'invalid-url' | 'resolve' | 'connect' | 'timeout' | 'receive' | 'too-large'
  | 'post-failed' | 'no-answer' | 'http' | 'undecryptable' | 'bad-answer' | 'refused'
  | 'rate-limited' | 'waited' | 'no-token' | 'unobserved';

/** Why a call answered a degrade token. */
export interface TokenCause {
  /**
   * invalid-host: KEY_URL unset (the built-in ".invalid" address) or under
   * ".invalid"; invalid-url: not http(s); resolve, connect, timeout,
   * receive, too-large: the post was rejected (the reference bridge's codes
   * 6, 7, 28, 56, 63); post-failed: rejected with another code; no-answer:
   * the post threw or answered no answer object; http: a status other than
   * 200; undecryptable: a 200 answer that did not open (-1002);
   * bad-answer: an answer of something else, or empty (-1002 with no body,
   * -1003, -1004, -1005); refused: the service answered without a token
   * (-1006, -1008); rate-limited: no exchange started (16 a minute);
   * waited: the exchange was still under way after KEY_DELAY_MS_TIME;
   * no-token: the library answered ""; unobserved: the SDK was not set up
   * through setup() of this package.
   */
  reason: CauseReason;
  /** One line saying what happened. */
  message: string;
  /** The status of the service's answer, when it answered. */
  httpStatus?: number;
  /** For retry "never": what the app must change. */
  fix?: string;
  /** For rate-limited: when the limit lets the next exchange start, ms from now. */
  retryAfterMs?: number;
}

/** What became of one token call. */
export interface TokenOutcome {
  /** What getToken would have answered. */
  token: string;
  /**
   * service: issued by the service in an exchange that ended during this
   * call; stored: a service token held from before (memory or the
   * preferences); degrade: a degrade token (or "").
   */
  kind: 'service' | 'stored' | 'degrade';
  /** The library's code: the degrade token's last "!" field; 0 otherwise. */
  code: number;
  /** null for a service token (kind service or stored). */
  cause: TokenCause | null;
  /**
   * null for a service token; now: call again at once (the exchange goes on
   * and its token lands for the next call); later: the service was not
   * reached or declined for now, back off; never: nothing helps until the
   * app changes what cause.fix says.
   */
  retry: 'now' | 'later' | 'never' | null;
}

/**
 * getToken, and what became of the call: the kind of token, the library's
 * code and, for a degrade token, the cause and whether to retry. The cause
 * comes from the posts the bridge made for this key while the call ran
 * (setup() hands the library a forwarder to the bridge that sees them);
 * the code is process-wide, so a failure of another key's exchange in the
 * meantime can show in it. Throws where getToken throws; resolves, never
 * rejects.
 */
export function getTokenDetailed<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>): Promise<TokenOutcome>;
export function getDegradeToken<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>): Promise<string>;
export function getBusinessSign<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>, text?: string): Promise<string>;
export function isDegradeToken(handle: SdkHandle, appKey: string, token: string): boolean;
export function scheduleSituationUpdate<O extends Options>(handle: SdkHandle, appKey: string, options?: CheckedOptions<O>, delayMs?: number): void;
export function setScene(handle: SdkHandle, appKey: string, scene: string): void;
export function readyToCallback(handle: SdkHandle): void;

export const NATIVE_NAMES: readonly string[];
/** The build tree's library (../build/libQuonRiskComm.so), the last place libraryPath() looks. */
export const DEFAULT_LIBRARY: string;

/** Options of the reference Linux bridge. */
export interface BridgeOptions {
  /** Preference directory; default $XDG_STATE_HOME (or ~/.local/state)/quon-risk-comm/prefs. */
  prefsDir?: string;
  appSignature?: string;
  /** Advertising id; default the all-zero id (none). */
  oaid?: string;
  timeInfo?: Record<string, string> | (() => Record<string, string>);
  /** Members that replace the machine's device facts. */
  deviceInfo?: Partial<DeviceInfo>;
  /** Time limit of one post, body included; default 10000 ms. */
  postTimeoutMs?: number;
  /** Told the outcome of every post: its HTTP status, or the rejection and its reason. */
  onPost?(outcome: PostOutcome): void;
  /** Size limit of one post's answer; default 8 MiB. Reading stops there; the post is rejected with code 63. */
  maxResponseBytes?: number;
  /** File functions of the preference store; default Node's fs (tests inject failures). */
  fs?: Pick<typeof import('node:fs'), 'mkdirSync' | 'readdirSync' | 'statSync' | 'unlinkSync' | 'readFileSync' | 'openSync' | 'writeSync' | 'closeSync' | 'renameSync' | 'fsyncSync' | 'open' | 'fsync' | 'close'>;
  onClientEvent?(key: string, type: number, code: number, text: string): void;
  onServerEvent?(key: string, text: string): void;
  /** Store write failures and handler exceptions; default process.emitWarning. */
  onError?(err: Error): void;
}

/**
 * The outcome of one post of the reference bridge. A rejection's code is
 * what the library sees as the post's status, negated: 6 resolve (also every
 * ".invalid" host, at once), 7 connect, 28 timeout, 56 receive, 63 too large
 * (an answer over maxResponseBytes), 1 other.
 */
export type PostOutcome =
  | { url: string; ms: number; httpStatus: number; bytes: number }
  | { url: string; ms: number; code: 6 | 7 | 28 | 56 | 63 | 1; reason: 'resolve' | 'connect' | 'timeout' | 'receive' | 'too large' | 'other'; message: string };

/** The crash-safe, multi-process preference store of the reference bridge. */
export interface PrefStore {
  readonly dir: string;
  pathOf(name: string): string;
  put(name: string, value: string): void;
  get(name: string): string;
  /** Starts the flush of every value put so far at once; resolves when they have reached the disk (puts flush in the background, 100 ms after the first unflushed one, and at exit). */
  flush(): Promise<void>;
  /** Walks the write path once on a temporary name of its own, removed again (the bridge's warm-up). */
  warmUp(): void;
}

export interface ReferenceBridge extends Bridge {
  readonly store: PrefStore;
  /** This machine's device facts (with the overrides), for setup. */
  deviceInfo(): DeviceInfo;
  post(url: string, body: ArrayBuffer): Promise<PostAnswer>;
  prefPut(name: string, value: string): boolean;
  prefGet(name: string): string;
  /**
   * Warms the bridge's paths up in the background, on later turns of the
   * loop: its functions without effects (not a timeInfo function of the
   * app's), one temporary preference file written and removed, one post to
   * a loopback server of its own, and the store's exit handler. The first
   * call in a process does it; later calls, of any bridge, do nothing.
   * Making a bridge does none of this.
   */
  warmUp(): void;
}

/** Makes a reference bridge; it opens (and makes) the preference directory and nothing else. */
export function createBridge(options?: BridgeOptions): ReferenceBridge;
/** This machine's device facts, with overrides. */
export function deviceInfo(overrides?: Partial<DeviceInfo>): DeviceInfo;
