// Type declarations of quon-risk-comm/server (server.js): opening, on a
// backend, the texts an application sends. No native library is needed.
//
// What opening proves. The application key ships inside every copy of the
// app: treat it as public. Anyone can therefore make a business sign or a
// degrade token that opens here.
// - A business sign proves only that someone holding the application key
//   (anyone) made it for this exact text. Its "timestamp" is the device's
//   clock, as claimed.
// - A degrade token is device data as claimed by whoever made it, readable
//   by anyone who has the app; it carries device identifiers, so treat it as
//   personal data. Its signature is a checksum keyed by the public key, not
//   proof of origin.
// - Only a service token carries weight, and only once the token service
//   that issued it confirms it (verifyToken, verifyBusinessSign). Treat
//   whatever cannot be confirmed as unverified: allow what is harmless, and
//   step up authentication (a second factor, a review) for risky actions.

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
 * What is refused by its size alone, before any work is done on it. Chosen
 * from what the library makes (degrade tokens of 1.8 to 13 KB, about 45
 * data entries) with room to spare.
 */
export interface Limits {
  /** A degrade token longer than this (65536) does not open. */
  readonly maxDegradeTokenBytes: number;
  /** A business sign longer than this (65536) does not open. */
  readonly maxSignBytes: number;
  /** A sign made for a text longer than this (65536) does not open. */
  readonly maxSignedTextBytes: number;
  /** The request inside a degrade token inflates to this (262144) at most; inflation stops there. */
  readonly maxPayloadBytes: number;
  /** Data entries of one request, members of one sign (1024). */
  readonly maxEntries: number;
  /** One data key (256 bytes). */
  readonly maxKeyBytes: number;
  /** One data value or header field (65536 bytes). */
  readonly maxValueBytes: number;
  /** Fields of the request, of its header, of one entry (64). */
  readonly maxMessageFields: number;
}

export const LIMITS: Limits;

/**
 * True for texts the library makes locally (degrade tokens): the empty text
 * and any text longer than 40 bytes. Tokens of the token service are 1 to 40
 * bytes long. False for anything that is not a string. Says nothing about
 * whether the text is genuine.
 */
export function isDegradeToken(text: unknown): boolean;

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

/**
 * A degrade token, opened. Its signature covers the data field alone (the
 * request, whose header repeats the key and the SDK version); the key, SDK
 * version, algorithm and error fields are outside it, and anyone can change
 * them without breaking it. Even what it covers is a claim: the signature is
 * keyed by the application key, which is public.
 */
export interface OpenedDegradeToken {
  /** True when the data opened under the key, its signature holds and it parsed as a request within LIMITS. */
  ok: boolean;
  /** The first problem, or null: "not 6 fields", "longer than 65536 bytes", "data field does not open under the key (or inflates past the limit)", "signature does not match", ... */
  problem: string | null;
  fields: DegradeTokenFields | null;
  scheme: 'legacy' | 'gm' | null;
  /** The SDK version field: NOT covered by the signature (request.header.sdk_version is). */
  sdkVersion: string | null;
  /** Whether the signature field matches the request under this application key. */
  signatureOk: boolean;
  /** The fields the signature covers: ["data"]. */
  signedFields: readonly string[];
  /** The fields it does not cover: ["appKey", "sdkVersion", "alg", "error"]. */
  unsignedFields: readonly string[];
  /** Whether the key field spells the key passed in (compared, not signed). */
  appKeyMatches: boolean;
  /** The error field as a number: NOT covered by the signature. */
  errorCode: number | null;
  /** The entry of ERROR_CODES for errorCode. */
  error: ErrorCode | null;
  /** The request the token carries; null unless the data opened and its signature holds. */
  request: DegradeRequest | null;
}

/**
 * Opens a degrade token under the application key. The key is required: a
 * missing or empty key throws a TypeError (the key field of the token is
 * never used to open it). Otherwise never throws: a token that is not a
 * string, is longer than LIMITS.maxDegradeTokenBytes, or does not open gives
 * `ok: false` with its `problem`.
 */
export function openDegradeToken(token: unknown, appKey: string): OpenedDegradeToken;

/**
 * Opens a business sign made for `text` under the application key: the
 * fields of its JSON object (every value a string: "ulvok" the current
 * token, "timestamp", "K3000" the scene, "user_..." the call's data, ...),
 * or null when it does not open under this key and text, does not open to a
 * JSON object whose every value is a string, or a text is not a string or
 * over its limit. A missing or empty key throws a TypeError; nothing else
 * throws.
 *
 * Opening proves only that someone holding the application key (anyone: it
 * ships in the app) made the sign for this exact text; "timestamp" is the
 * device's clock as claimed. Several spellings of one sign open to the same
 * fields: recognise a replay by businessSignDigest, not by the sign text.
 */
export function openBusinessSign(sign: unknown, appKey: string, text?: unknown): Record<string, string> | null;

/**
 * The canonical digest of an opened sign: lowercase hex SHA-256 (64
 * characters) of the JSON text of [text, [[key, value], ...]] with the
 * fields in byte-wise key order. Every spelling of one sign (Base64 variants,
 * JSON spacing) gets the same digest; keep it in a replay store for the
 * sign's useful life.
 */
export function businessSignDigest(fields: Record<string, string>, text: string): string;

/** Where the token service is, and the app's server secret it gave at registration. */
export interface ServiceOptions {
  /** The service's address, "http(s)://host:port" (no path). */
  service: string;
  /** The app's server secret (shown once by `risk apps add`). */
  secret: string;
  /** Time limit of one attempt in ms (2000). */
  timeoutMs?: number;
  /** Further attempts when the service gave no answer, a 5xx or a 429 (2; at most 5), with jittered backoff. */
  retries?: number;
}

/** A signal the service raised for the device behind a token. */
export interface Signal {
  name: string;
  severity: string;
  evidence: unknown;
}

/** What the token service said of a service token. */
export interface TokenVerdict {
  /** True only when the service answered that the token is its own, for this app, and valid. */
  ok: boolean;
  /**
   * Why not, or null: "malformed" (not 1 to 40 bytes of text; not sent), "degrade-token" (not sent),
   * "service-unreachable", "service-unavailable" (after the retries: fail closed), "unauthorized"
   * (a wrong secret), "bad-answer", "replayed" (the sign's digest was used before), or "token-" and
   * the service's reason: "token-unknown", "token-expired", "token-other-app", "token-malformed".
   */
  reason: string | null;
  /** Whether the service answered at all. */
  reached: boolean;
  httpStatus: number | null;
  installationId: string | null;
  /** ms since the epoch. */
  issuedAt: number | null;
  expiresAt: number | null;
  /** The device's clock minus the service's, measured at the device's last exchange (ms). */
  clockOffsetMs: number | null;
  /** "low", "medium" or "high", when the service computes a verdict. */
  level: string | null;
  signals: Signal[] | null;
  /** The service's answer as it came (untrusted shape beyond the fields above). */
  answer: Record<string, unknown> | null;
}

export interface VerifySignOptions extends ServiceOptions {
  /** The application key (required: a missing or empty key throws a TypeError). */
  appKey: string;
  /** How far the sign's time, in the service's clock, may be from now (300000 ms). */
  maxAgeMs?: number;
  /**
   * A sign carrying a degrade token is never ok: nothing can confirm it. "refuse" (the default)
   * says so; "open" also opens the token into `degrade` for the backend's own rules.
   */
  degrade?: 'refuse' | 'open';
  /** The clock, for tests (Date.now). */
  now?: () => number;
}

/** The whole check of a business sign. */
export interface SignVerdict {
  /** True only when every check passed: opened for this text, token confirmed, digest unused, recent in the service's time. */
  ok: boolean;
  /** The checks that failed: "no-text", "sign-does-not-open", "degrade-token", "stale", or the token's reason. */
  reasons: string[];
  fields: Record<string, string> | null;
  /** businessSignDigest of the sign: consumed at the service. */
  digest: string | null;
  /** The sign's timestamp as the device claimed it (ms). */
  signedAt: number | null;
  /** Its age in the service's time (ms), when known. */
  ageMs: number | null;
  /** "service" when the device's clock offset was known, "device" when the age rests on the device's clock. */
  timeBasis: 'service' | 'device' | null;
  token: TokenVerdict | null;
  /** The opened degrade token, with `degrade: "open"`. */
  degrade: OpenedDegradeToken | null;
}

/**
 * Asks the token service whether `token` is a token it issued to this app and still valid.
 * Resolves, never rejects: `ok` is true only when the service said so (fail closed when it
 * cannot be reached). Throws a TypeError at the call when `service` or `secret` is missing.
 */
export function verifyToken(token: unknown, options: ServiceOptions): Promise<TokenVerdict>;

/**
 * Opens the sign for `text` (required), verifies the token it carries with the token service
 * and consumes the sign's digest there (once, across every backend sharing the service), and
 * judges its age in the service's time. Resolves, never rejects; `ok` only when every check
 * passed.
 */
export function verifyBusinessSign(sign: unknown, text: unknown, options: VerifySignOptions): Promise<SignVerdict>;
