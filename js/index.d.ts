// Type declarations of the Node face of the native library (index.js) and
// of the reference Linux bridge (lib/bridge.js).

/** The address of the SDK object made by setup; 0 stands for none. */
export type SdkHandle = number;

/**
 * Options of one application or one call. Keys beginning with "KEY_" or
 * "PRIVATE_" are settings (KEY_URL, KEY_SITUATION_URL, KEY_MANAGER_ALGORITHM,
 * KEY_DELAY_MS_TIME, PRIVATE_FORCE_REFRESH, PRIVATE_CLEAR_TOKEN,
 * PRIVATE_COLLECT_TIMEOUT, PRIVATE_BLACK); every other key is caller data,
 * sent as "user_" + key. Values become text; undefined members are left out.
 */
export type Options =
  | Record<string, unknown>
  | Map<string, unknown>
  | Array<[string, unknown]>
  | string[];

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
  setupNative(bridge: Bridge, appInfo: AppInfo, deviceInfo: DeviceInfo): SdkHandle;
}

/** Loads the library (default: RISK_LIBRARY, else ../build/libQuonRiskComm.so). */
export function load(file?: string): NativeModule;
/** Options as the natives' flat [key, value, key, value, ...] array. */
export function toPairs(options?: Options | null): string[];

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
export function setup(bridge: Bridge, appInfo: AppInfo, deviceInfo: DeviceInfo): SdkHandle;
export function init(handle: SdkHandle, appKey: string, options?: Options): void;
export function getToken(handle: SdkHandle, appKey: string, options?: Options): Promise<string>;
export function getDegradeToken(handle: SdkHandle, appKey: string, options?: Options): Promise<string>;
export function getBusinessSign(handle: SdkHandle, appKey: string, options?: Options, text?: string): Promise<string>;
export function isDegradeToken(handle: SdkHandle, appKey: string, token: string): boolean;
export function scheduleSituationUpdate(handle: SdkHandle, appKey: string, options?: Options, delayMs?: number): void;
export function setScene(handle: SdkHandle, appKey: string, scene: string): void;
export function readyToCallback(handle: SdkHandle): void;

export const NATIVE_NAMES: readonly string[];
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
  onClientEvent?(key: string, type: number, code: number, text: string): void;
  onServerEvent?(key: string, text: string): void;
  /** Store write failures and handler exceptions; default process.emitWarning. */
  onError?(err: Error): void;
}

/** The crash-safe, multi-process preference store of the reference bridge. */
export interface PrefStore {
  readonly dir: string;
  pathOf(name: string): string;
  put(name: string, value: string): void;
  get(name: string): string;
}

export interface ReferenceBridge extends Bridge {
  readonly store: PrefStore;
  /** This machine's device facts (with the overrides), for setup. */
  deviceInfo(): DeviceInfo;
  post(url: string, body: ArrayBuffer): Promise<PostAnswer>;
  prefPut(name: string, value: string): boolean;
  prefGet(name: string): string;
}

export function createBridge(options?: BridgeOptions): ReferenceBridge;
/** This machine's device facts, with overrides. */
export function deviceInfo(overrides?: Partial<DeviceInfo>): DeviceInfo;
