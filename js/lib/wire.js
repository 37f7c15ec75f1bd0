// @ts-check
'use strict';
// The bytes of the service exchange, built from packages that are not ours:
// adm-zip for the one-entry archive (entry "data") and protobufjs reading the
// same message schema as the native library (core/risk.proto). Used by the
// reference service, the tests and the decode tool; every function is pure
// and synchronous. Decoders return null (or throw nothing) on bad input.

const fs = require('node:fs');
const path = require('node:path');
const AdmZip = require('adm-zip');
const protobuf = require('protobufjs');
const { bytes, urlEncode } = require('./scheme');

// The message schema: beside this file in the npm package, in core/ of the
// repository.
const PROTO_PATH = [path.join(__dirname, 'risk.proto'), path.join(__dirname, '..', '..', 'core', 'risk.proto')]
  .find((file) => fs.existsSync(file));
const ENTRY_NAME = 'data';

const COMMAND_TOKEN = 1002;
const STATUS_OK = 0;
const STATUS_REFUSED = -10006;

/**
 * @typedef {import('./scheme').Scheme} Scheme
 * @typedef {import('./scheme').Bytes} Bytes
 * @typedef {Array<[string, string]>} Pairs data entries in the order they are sent
 *
 * @typedef {object} TokenRequest
 * @property {Record<string, any>} header the request header by the schema's field names
 * @property {number} command
 * @property {Pairs} entries
 * @property {Pairs} extraEntries
 * @property {Record<string, string>} data the entries by key (a later entry wins)
 * @property {string | null} bodyError set when only the body does not parse
 *
 * @typedef {object} TokenResponse
 * @property {number} command
 * @property {number} status
 * @property {Buffer} body
 * @property {{ ulvok?: string, uuid?: string } | null} payload the TokenPayload of a non-empty body
 */

/** @type {import('protobufjs').Root | null} */
let cachedRoot = null;

/** @returns {import('protobufjs').Root} */
function root() {
  // keepCase: field names as the schema spells them (sdk_version, app_key).
  // Without a schema file PROTO_PATH is undefined, and loadSync throws.
  if (cachedRoot === null) {
    cachedRoot = new protobuf.Root().loadSync(/** @type {string} */ (PROTO_PATH), { keepCase: true });
  }
  return cachedRoot;
}

/**
 * @param {string} name a message of the schema's package "risk"
 * @returns {import('protobufjs').Type}
 */
function type(name) {
  return root().lookupType(`risk.${name}`);
}

// Plain object of the fields present on the wire (absent optional fields are
// left out), enums as numbers, bytes as Buffers.
/**
 * @param {import('protobufjs').Type} messageType
 * @param {import('protobufjs').Message} message
 * @returns {Record<string, any>}
 */
function plain(messageType, message) {
  return messageType.toObject(message, { enums: Number, longs: Number, bytes: Buffer, defaults: false });
}

/**
 * @param {string} name
 * @param {unknown} buf
 * @returns {{ type: import('protobufjs').Type, message: import('protobufjs').Message } | null}
 */
function decode(name, buf) {
  const t = type(name);
  try {
    return { type: t, message: t.decode(bytes(buf)) };
  } catch (e) {
    // protobufjs throws on malformed input and on a missing required field.
    return null;
  }
}

/**
 * @param {string} name
 * @param {Record<string, any>} object
 * @returns {Buffer}
 */
function encode(name, object) {
  const t = type(name);
  return Buffer.from(t.encode(t.fromObject(object)).finish());
}

// --- archive -----------------------------------------------------------

// A ZIP archive whose only entry, named `name` ("data" unless told), holds
// payload deflated.
/**
 * @param {unknown} payload
 * @param {string} [name]
 * @returns {Buffer}
 */
function packArchive(payload, name = ENTRY_NAME) {
  const zip = new AdmZip();
  zip.addFile(name, bytes(payload));
  return zip.toBuffer();
}

// The content of the entry named exactly "data"; null when the bytes are no
// archive, the entry is missing or cannot be read, or its size as declared
// exceeds maxBytes (the inflater stops at the declared size, so maxBytes
// bounds the memory an archive can ask for). An empty entry gives an empty
// Buffer (the library treats that as a failure; callers decide).
/**
 * @param {unknown} archive
 * @param {number} [maxBytes]
 * @returns {Buffer | null}
 */
function unpackArchive(archive, maxBytes = Infinity) {
  const data = bytes(archive);
  if (data.length === 0) return null;
  try {
    const zip = new AdmZip(data);
    const entry = zip.getEntry(ENTRY_NAME);
    if (!entry || entry.entryName !== ENTRY_NAME) return null;
    if (entry.header.size > maxBytes) return null;
    const content = entry.getData();
    return content ? Buffer.from(content) : null;
  } catch (e) {
    return null;
  }
}

// encrypt(pack(payload)) under a scheme of ./scheme.
/**
 * @param {Scheme} scheme
 * @param {unknown} payload
 * @returns {Buffer | null}
 */
function seal(scheme, payload) {
  return scheme.encrypt(packArchive(payload));
}

// unpack(decrypt(sealed)); null on any failure.
/**
 * @param {Scheme} scheme
 * @param {Bytes | null | undefined} sealed
 * @param {{ lax?: boolean }} [opts]
 * @returns {Buffer | null}
 */
function open(scheme, sealed, opts) {
  const zip = scheme.decrypt(sealed, opts);
  if (zip === null || zip.length === 0) return null;
  return unpackArchive(zip);
}

// --- token request -----------------------------------------------------

// Serializes a TokenRequest: header fields by the schema's names
// (sdk_version, app_key, os_type, ...), command (1002 unless told) and the
// data entries, given as a [key, value] list (sent in the given order) or an
// object (sent in byte-wise key order, as the library does).
/**
 * @param {{ header?: Record<string, unknown>, command?: number, entries?: Pairs | Record<string, string>,
 *   extraEntries?: Pairs, body?: Bytes }} request
 * @returns {Buffer}
 */
function encodeTokenRequest({ header = {}, command = COMMAND_TOKEN, entries = [], extraEntries = [], body }) {
  const list = Array.isArray(entries)
    ? entries
    : Object.keys(entries).sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)))
      .map((k) => /** @type {[string, string]} */ ([k, entries[k]]));
  const kv = (/** @type {Pairs} */ pairs) => pairs.map(([key, value]) => ({ key, value }));
  const inner = body !== undefined
    ? bytes(body)
    : encode('KeyValueList', { entries: kv(list), extra_entries: kv(extraEntries) });
  return encode('TokenRequest', { header, command, body: inner });
}

/**
 * A KeyValue entry as a [key, value] pair.
 * @param {{ key: string, value: string }} entry
 * @returns {[string, string]}
 */
const pairOf = (entry) => [entry.key, entry.value];

// Parses a TokenRequest and its KeyValueList body. Returns null when the
// request does not parse; `bodyError` is set when only the body is bad.
/**
 * @param {unknown} buf
 * @returns {TokenRequest | null}
 */
function decodeTokenRequest(buf) {
  const req = decode('TokenRequest', buf);
  if (req === null) return null;
  const obj = plain(req.type, req.message);
  /** @type {TokenRequest} */
  const result = {
    header: obj.header || {},
    command: obj.command,
    entries: [],
    extraEntries: [],
    data: {},
    bodyError: null,
  };
  const list = decode('KeyValueList', obj.body || Buffer.alloc(0));
  if (list === null) {
    result.bodyError = 'body is not a KeyValueList';
    return result;
  }
  const l = plain(list.type, list.message);
  result.entries = (l.entries || []).map(pairOf);
  result.extraEntries = (l.extra_entries || []).map(pairOf);
  for (const [k, v] of result.entries) result.data[k] = v;
  return result;
}

// --- token response ----------------------------------------------------

// Serializes a TokenResponse. With `ulvok` set the body is a TokenPayload of
// it (and of `uuid` when given); `body` overrides with raw bytes.
/**
 * @param {{ command?: number, status?: number, ulvok?: string, uuid?: string | null, body?: Bytes }} response
 * @returns {Buffer}
 */
function encodeTokenResponse({ command = COMMAND_TOKEN, status = STATUS_OK, ulvok, uuid, body }) {
  /** @type {Buffer} */
  let inner = Buffer.alloc(0);
  if (body !== undefined) inner = bytes(body);
  else if (ulvok !== undefined) {
    /** @type {{ ulvok: string, uuid?: string }} */
    const payload = { ulvok };
    if (uuid !== undefined && uuid !== null) payload.uuid = uuid;
    inner = encode('TokenPayload', payload);
  }
  return encode('TokenResponse', { command, status, body: inner });
}

// Parses a TokenResponse and, when its body is not empty, the TokenPayload
// inside. null when the response does not parse.
/**
 * @param {unknown} buf
 * @returns {TokenResponse | null}
 */
function decodeTokenResponse(buf) {
  const res = decode('TokenResponse', buf);
  if (res === null) return null;
  const obj = plain(res.type, res.message);
  /** @type {TokenResponse} */
  const out = { command: obj.command, status: obj.status, body: obj.body || Buffer.alloc(0), payload: null };
  if (out.body.length > 0) {
    const p = decode('TokenPayload', out.body);
    if (p !== null) out.payload = plain(p.type, p.message);
  }
  return out;
}

// --- addresses ---------------------------------------------------------

// The request address as the library builds it: url + "?sign=" ... with
// "&alg=gm" for the gm scheme only.
/**
 * @param {string} url
 * @param {{ sign: string, appKey: string, app: string, version: string, alg?: string }} parts
 * @returns {string}
 */
function requestAddress(url, { sign, appKey, app, version, alg }) {
  let u = `${url}?sign=${urlEncode(sign)}&appKey=${urlEncode(appKey)}&app=${urlEncode(app)}&version=${urlEncode(version)}`;
  if (alg === 'gm') u += `&alg=${urlEncode('gm')}`;
  return u;
}

// The query of a request address. The library appends "?sign=" even to an
// address that already holds a query, so every "?" after the path is taken
// as a separator (form encoding never leaves a bare "?" in a value). A name
// given twice keeps its last value: the library's own parameters come last.
/**
 * @param {string} rawUrl
 * @returns {Record<string, string>}
 */
function parseQuery(rawUrl) {
  const at = rawUrl.indexOf('?');
  /** @type {Record<string, string>} */
  const query = {};
  if (at < 0) return query;
  const params = new URLSearchParams(rawUrl.slice(at + 1).replace(/\?/g, '&'));
  for (const [k, v] of params) query[k] = v;
  return query;
}

module.exports = {
  PROTO_PATH,
  ENTRY_NAME,
  COMMAND_TOKEN,
  STATUS_OK,
  STATUS_REFUSED,
  root,
  type,
  encode,
  packArchive,
  unpackArchive,
  seal,
  open,
  encodeTokenRequest,
  decodeTokenRequest,
  encodeTokenResponse,
  decodeTokenResponse,
  requestAddress,
  parseQuery,
};
