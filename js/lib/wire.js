// @ts-check
'use strict';
// The bytes of the service exchange, built from packages that are not ours:
// adm-zip for the one-entry archive (entry "data") and protobufjs reading the
// same message schema as the native library (core/risk.proto). Used by the
// reference service, the tests and the decode tool; every function is pure
// and synchronous. Decoders return null (or throw nothing) on bad input.

const fs = require('node:fs');
const path = require('node:path');
const zlib = require('node:zlib');
const AdmZip = require('adm-zip');
const protobuf = require('protobufjs');
const { bytes, urlEncode } = require('./scheme');
const { LIMITS } = require('./limits');

// The message schema: beside this file in the npm package, in core/ of the
// repository.
const PROTO_PATH = [path.join(__dirname, 'risk.proto'), path.join(__dirname, '..', '..', 'core', 'risk.proto')]
  .find((file) => fs.existsSync(file));
const ENTRY_NAME = 'data';

// A one-entry archive is its payload plus about a hundred bytes of headers;
// sealing adds at most a block.
const ARCHIVE_OVERHEAD_BYTES = 4096;
const ZIP_STORED = 0;
const ZIP_DEFLATED = 8;

const COMMAND_TOKEN = 1002;
const STATUS_OK = 0;
const STATUS_REFUSED = -10006;

/**
 * @typedef {import('./limits').Limits} Limits
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
// archive, the entry is missing or cannot be read, or it would inflate past
// `maxBytes`: inflation stops there, whatever size the headers declare. An
// empty entry gives an empty Buffer (the library treats that as a failure;
// callers decide).
/**
 * @param {unknown} archive
 * @param {number} [maxBytes]
 * @returns {Buffer | null}
 */
function unpackArchive(archive, maxBytes = LIMITS.maxPayloadBytes) {
  const data = bytes(archive);
  if (data.length === 0 || data.length > maxBytes + ARCHIVE_OVERHEAD_BYTES) return null;
  try {
    const zip = new AdmZip(data);
    const entry = zip.getEntry(ENTRY_NAME);
    if (!entry || entry.entryName !== ENTRY_NAME) return null;
    const { method, size, crc } = entry.header;
    if (size > maxBytes) return null;
    const packed = entry.getCompressedData();
    let content;
    if (method === ZIP_STORED || packed.length === 0) content = packed;
    else if (method === ZIP_DEFLATED) content = zlib.inflateRawSync(packed, { maxOutputLength: Math.max(size, 1) });
    else return null;
    if (content.length !== size || zlib.crc32(content) !== crc) return null;
    return content;
  } catch (e) {
    // adm-zip throws on malformed headers, zlib on bad data and on output
    // past maxOutputLength.
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

// unpack(decrypt(sealed)); null on any failure, and for sealed bytes longer
// than an archive of a payload of `maxPayloadBytes` can be.
/**
 * @param {Scheme} scheme
 * @param {Bytes | null | undefined} sealed
 * @param {{ lax?: boolean, maxPayloadBytes?: number }} [opts]
 * @returns {Buffer | null}
 */
function open(scheme, sealed, opts) {
  const maxPayloadBytes = (opts && opts.maxPayloadBytes) || LIMITS.maxPayloadBytes;
  if (sealed && sealed.length > maxSealedBytes(maxPayloadBytes)) return null;
  const zip = scheme.decrypt(sealed, opts);
  if (zip === null || zip.length === 0) return null;
  return unpackArchive(zip, maxPayloadBytes);
}

// The longest sealed archive of a payload of `maxPayloadBytes` bytes.
/** @param {number} maxPayloadBytes @returns {number} */
function maxSealedBytes(maxPayloadBytes) {
  return maxPayloadBytes + ARCHIVE_OVERHEAD_BYTES + 32;
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

// --- bounded reading -----------------------------------------------------

const WIRE_VARINT = 0;
const WIRE_FIXED64 = 1;
const WIRE_LENGTH = 2;
const WIRE_FIXED32 = 5;
const MAX_VARINT_BYTES = 10;

/**
 * @typedef {{ field: number, wireType: number, value: Buffer }} WireField
 */

// The fields of one protobuf message, read without decoding them; null when
// the bytes are not a well-formed message, hold more than `maxFields` fields
// or a length-delimited value longer than `maxLength`. Stops at the first
// field past a limit, so the work is bounded by the limits, not the input.
/**
 * @param {Buffer} buf
 * @param {number} maxFields
 * @param {number} maxLength
 * @returns {WireField[] | null}
 */
function scanFields(buf, maxFields, maxLength) {
  /** @type {WireField[]} */
  const fields = [];
  let at = 0;
  // A varint as a number (exact up to 2^53, enough for tags and lengths);
  // -1 when it runs past the end or past ten bytes.
  const varint = () => {
    let value = 0;
    for (let i = 0; i < MAX_VARINT_BYTES && at < buf.length; i++) {
      const b = buf[at++];
      value += (b & 0x7f) * 2 ** (7 * i);
      if (b < 0x80) return value;
    }
    return -1;
  };
  while (at < buf.length) {
    if (fields.length === maxFields) return null;
    const tag = varint();
    const field = Math.floor(tag / 8);
    const wireType = tag % 8;
    if (tag < 0 || field === 0) return null;
    let start = at;
    if (wireType === WIRE_VARINT) {
      if (varint() < 0) return null;
    } else if (wireType === WIRE_FIXED64) {
      at += 8;
    } else if (wireType === WIRE_FIXED32) {
      at += 4;
    } else if (wireType === WIRE_LENGTH) {
      const n = varint();
      if (n < 0 || n > maxLength) return null;
      start = at;
      at += n;
    } else {
      return null;  // groups and reserved wire types: never in these messages
    }
    if (at > buf.length) return null;
    fields.push({ field, wireType, value: buf.subarray(start, at) });
  }
  return fields;
}

// Whether a serialized message and its length-delimited field `field` (each
// of its occurrences) stay within the limits `check` puts on them.
/**
 * @param {WireField[]} fields
 * @param {number} field
 * @param {(value: Buffer) => boolean} check
 * @returns {boolean}
 */
function eachWithin(fields, field, check) {
  return fields.every((f) => f.field !== field || f.wireType !== WIRE_LENGTH || check(f.value));
}

const REQUEST_HEADER = 1;
const LIST_ENTRIES = 1;
const LIST_EXTRA_ENTRIES = 2;
const ENTRY_KEY = 1;

// A KeyValueList body within the entry count and the key and value lengths.
/**
 * @param {Buffer} body
 * @param {Limits} limits
 * @returns {boolean}
 */
function bodyWithin(body, limits) {
  const entryWithin = (/** @type {Buffer} */ entry) => {
    const fields = scanFields(entry, limits.maxMessageFields, limits.maxValueBytes);
    return fields !== null && eachWithin(fields, ENTRY_KEY, (key) => key.length <= limits.maxKeyBytes);
  };
  const fields = scanFields(body, limits.maxEntries, limits.maxKeyBytes + limits.maxValueBytes + 16);
  return fields !== null && eachWithin(fields, LIST_ENTRIES, entryWithin)
    && eachWithin(fields, LIST_EXTRA_ENTRIES, entryWithin);
}

// Parses a TokenRequest and its KeyValueList body. Returns null when the
// request does not parse or its envelope is past the limits (lib/limits.js);
// `bodyError` is set when only the body is bad or past the limits. The
// limits are checked on the wire before anything is decoded.
/**
 * @param {unknown} buf
 * @param {Limits} [limits]
 * @returns {TokenRequest | null}
 */
function decodeTokenRequest(buf, limits = LIMITS) {
  const data = bytes(buf);
  if (data.length > limits.maxPayloadBytes) return null;
  const top = scanFields(data, limits.maxMessageFields, limits.maxPayloadBytes);
  if (top === null || !eachWithin(top, REQUEST_HEADER,
    (h) => scanFields(h, limits.maxMessageFields, limits.maxValueBytes) !== null)) {
    return null;
  }
  const req = decode('TokenRequest', data);
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
  const body = obj.body || Buffer.alloc(0);
  if (!bodyWithin(body, limits)) {
    result.bodyError = `body is past the limits: more than ${limits.maxEntries} entries, a key over `
      + `${limits.maxKeyBytes} bytes or a value over ${limits.maxValueBytes} bytes, or malformed`;
    return result;
  }
  const list = decode('KeyValueList', body);
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
  maxSealedBytes,
  encodeTokenRequest,
  scanFields,
  decodeTokenRequest,
  encodeTokenResponse,
  decodeTokenResponse,
  requestAddress,
  parseQuery,
};
