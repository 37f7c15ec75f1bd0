// Type declarations of quon-risk-comm/server (server.js): opening, on a
// backend, the texts an application sends. No native library is needed.

/** One error code of a token exchange (the last field of a degrade token). */
export interface ErrorCode {
  code: number;
  meaning: string;
  /** What the application (or its backend) should do about it. */
  action: string;
  /** Whether a later call may succeed: "yes", "no", or a qualified answer. */
  retry: string;
}

/**
 * The error codes, in order. A degrade token carries the code of the
 * latest failed token exchange of the process that made it:
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
export const ERROR_CODES: readonly ErrorCode[];

/** The entry of a code; an unknown code gets the meaning "not a code of the library". */
export function describeCode(code: number | string): ErrorCode;

/**
 * True for texts the library makes locally (degrade tokens): the empty text
 * and any text longer than 40 bytes. Tokens of the token service are 1 to 40
 * bytes long.
 */
export function isDegradeToken(text: string): boolean;

/** The six "!"-separated fields of a degrade token, as text. */
export interface DegradeTokenFields {
  /** URL-safe Base64 of the sealed archive of the request. */
  data: string;
  /** The application key, altered like the rest ("+" to "-", "/" to "_", "=" dropped). */
  appKey: string;
  /** Hex signature of the request bytes (MD5 for legacy, SM3 for gm, keyed by the application key). */
  sign: string;
  sdkVersion: string;
  /** "" for the legacy scheme, "gm" for the gm scheme. */
  alg: string;
  /** The error code as decimal text. */
  error: string;
}

/** The request a degrade token carries. */
export interface DegradeRequest {
  /** The request header: sdk_version, app_key, os_type, the previous token (ulvok) and the like. */
  header: Record<string, unknown>;
  command: number;
  /** The device data, data key to value ("K2", "K58", "user_userId", ...). */
  data: Record<string, string>;
}

export interface OpenedDegradeToken {
  /** True when the data opened, parsed as a request and its signature holds. */
  ok: boolean;
  /** The first problem, or null: "not 6 fields", "data field does not open under the key", "signature does not match", ... */
  problem: string | null;
  fields: DegradeTokenFields | null;
  scheme: 'legacy' | 'gm' | null;
  sdkVersion: string | null;
  /** Whether the signature field matches the request under this application key. */
  signatureOk: boolean;
  errorCode: number | null;
  /** The entry of ERROR_CODES for errorCode. */
  error: ErrorCode | null;
  /** The request the token carries, or null when it did not open. */
  request: DegradeRequest | null;
}

/**
 * Opens a degrade token under the application key (the key is needed: the
 * key field of the token is not trusted). Never throws.
 */
export function openDegradeToken(token: string, appKey: string): OpenedDegradeToken;

/**
 * Opens a business sign made for `text` under the application key: the
 * fields of its JSON object (every value a string: "ulvok" the current
 * token, "timestamp", "K3000" the scene, "user_..." the call's data, ...),
 * or null when it does not open under this key and text.
 */
export function openBusinessSign(sign: string, appKey: string, text?: string): Record<string, string> | null;
