// @ts-check
'use strict';
// The limits on what arrives from outside: the texts an app sends to its
// backend (degrade tokens, business signs) and the requests the service
// opens. Everything here may have been made by anyone who has the app (the
// application key ships inside it), so each limit bounds the work and the
// memory of one input before that work is done.
//
// Chosen from what the library produces, with room to spare: a degrade token
// is 1.8 to 13 KB (about 45 data entries; the largest value is the event list
// "K350", up to a hundred events), its request 2 to 30 KB once inflated.

/**
 * @typedef {object} Limits
 * @property {number} maxDegradeTokenBytes
 * @property {number} maxSignBytes
 * @property {number} maxSignedTextBytes
 * @property {number} maxPayloadBytes
 * @property {number} maxEntries
 * @property {number} maxKeyBytes
 * @property {number} maxValueBytes
 * @property {number} maxMessageFields
 */

// Tokens of the token service are 1 to this many bytes long; the library
// takes the empty text and longer ones for degrade tokens.
const MAX_SERVICE_TOKEN_BYTES = 40;

/** @type {Readonly<Limits>} */
const LIMITS = Object.freeze({
  /** A degrade token, as text: longer ones are refused by their length alone. */
  maxDegradeTokenBytes: 64 * 1024,
  /** A business sign, as text: room for one carrying a degrade token of 45 KB. */
  maxSignBytes: 64 * 1024,
  /** The text a business sign was made for. */
  maxSignedTextBytes: 64 * 1024,
  /** The inflated entry "data" of an archive: inflation stops here. */
  maxPayloadBytes: 256 * 1024,
  /** Data entries of one request (entries and extra entries together), members of one sign. */
  maxEntries: 1024,
  /** One data key. */
  maxKeyBytes: 256,
  /** One data value, one header field, one string of a sign. */
  maxValueBytes: 64 * 1024,
  /** Fields of one small message (a request, its header, one entry). */
  maxMessageFields: 64,
});

module.exports = { LIMITS, MAX_SERVICE_TOKEN_BYTES };
