// The test kit of an app's integration tests: the reference token service in
// the test's process (require('quon-risk-comm/testing')).

/** The fault modes: what the service answers to the requests that opened. */
export type ModeName =
  | 'normal' | 'down' | 'http500' | 'slow' | 'hang' | 'empty' | 'random' | 'wrongkey' | 'nonzip'
  | 'wrongentry' | 'emptyentry' | 'badproto' | 'status' | 'wrongcommand' | 'nobody';

export interface ModeOptions {
  /** Only requests of this endpoint get the mode; the others are answered normally. */
  endpoint?: 'token' | 'situation';
  /** The mode holds for the next `times` requests, then the service is normal again. */
  times?: number;
  /** "down": listens again after this long. */
  durationMs?: number;
  /** "slow": the delay of the answer (1000 by default). */
  delayMs?: number;
  /** "random": the number of random bytes (61 by default). */
  length?: number;
  /** "status": the TokenResponse status (-10006 by default). */
  status?: number;
  /** "wrongcommand": the TokenResponse command (1001 by default). */
  command?: number;
}

export interface Mode extends ModeOptions {
  name: ModeName;
}

/** One request the service received, opened. */
export interface RecordedRequest {
  seq: number;
  /** ISO 8601 arrival time. */
  time: string;
  endpoint: 'token' | 'situation' | null;
  method: string | undefined;
  path: string;
  url: string;
  query: Record<string, string>;
  bodyLength: number | null;
  scheme: 'legacy' | 'gm' | null;
  signOk: boolean | null;
  /** Why it was refused (answered 400, 403 or 413), or null. */
  error: string | null;
  /** What was answered: the mode, the HTTP status, the token issued... */
  answer: { mode?: ModeName; httpStatus?: number; ulvok?: string; uuid?: string; [k: string]: unknown } | null;
  /** Token requests: the decoded TokenRequest. */
  header?: Record<string, unknown>;
  command?: number;
  /** Token requests: the device's entries ("K58" the installation id, ...). */
  data?: Record<string, unknown>;
  /** Situation reports: the text, and its JSON when it parses. */
  body?: string;
  json?: unknown;
  [k: string]: unknown;
}

export interface ServiceOptions {
  /** 0 (the default): a free port. */
  port?: number;
  /** The admin listener's port; 0 (the default): a free port. */
  adminPort?: number;
  /** "127.0.0.1" by default. */
  host?: string;
  /** The mode at start ("normal" by default). */
  mode?: ModeName | Mode;
  /** The token answered, or a function of the request; a fresh random one by default. */
  token?: string | ((request: RecordedRequest) => string);
  /** The uuid answered beside the token; none by default. */
  uuid?: string | ((request: RecordedRequest) => string);
  /** The answer text of situation reports. */
  situationAnswer?: string | Buffer | ((request: RecordedRequest) => string | Buffer);
  /** Only these application keys are served (others are answered 403). */
  appKeys?: string[];
  /** Every request also as a JSON line appended to this file. */
  logFile?: string;
  /** Called with each request recorded. */
  onRecord?: (request: RecordedRequest) => void;
  /** The service's own log lines (none by default). */
  log?: (line: string) => void;
  /** TLS: served over HTTPS. */
  tls?: { cert: string | Buffer; key: string | Buffer };
}

export interface TestService {
  /** The address for KEY_URL, e.g. "http://127.0.0.1:40123". */
  readonly url: string;
  readonly port: number;
  /** The admin listener (/__admin/ only), up in every mode, "down" included. */
  readonly adminUrl: string;
  /** The requests received so far, opened, in order of arrival. */
  readonly requests: RecordedRequest[];
  mode(): Mode;
  /** Switches the mode; resolves once "down" has closed the listener or another mode has it listening. */
  setMode(mode: ModeName | Mode, options?: ModeOptions): Promise<Mode>;
  /** Changes the answers at run time. */
  configure(changes: Pick<ServiceOptions, 'token' | 'uuid' | 'situationAnswer'>): void;
  /** Registers an app with a known server secret (for the verify API). */
  registerApp(registration: { appKey: string; schemes?: string | string[]; signature?: string }): Promise<{ app: { appKey: string }; secret: string }>;
  /** Forgets the requests recorded. */
  clear(): void;
  /** Resolves once at least n requests are recorded, or after timeoutMs (10000) with those there are. */
  waitForRequests(n: number, timeoutMs?: number): Promise<RecordedRequest[]>;
  /** Ends every connection and timer: the process can then exit by itself. */
  close(): Promise<void>;
}

export function startService(options?: ServiceOptions): Promise<TestService>;
export const MODES: ModeName[];
/** The path of the token exchange, "/udid/m1". */
export const TOKEN_PATH: string;
/** The path of situation reports, "/udid/sa-m". */
export const SITUATION_PATH: string;
