// @ts-check
'use strict';
// The schema of the token service, as numbered migrations. A store applies
// those it has not applied yet, in order, each in the transaction that
// records it in "schema_migrations"; a store opened by two processes at once
// applies each migration once (the SQLite store holds the write lock, the
// PostgreSQL store an advisory lock, while it checks and applies).
//
// Times are milliseconds since the epoch. Tokens are kept as the SHA-256 of
// their text: a copy of the database does not hand out valid tokens.
// An installation's device fingerprint is a keyed hash (HMAC-SHA-256 under
// the "fingerprint" entry of service_keys, or a key given to the service):
// the raw facts are not kept. A migration once applied is never edited: a
// change of the schema is a new one.

/** @typedef {{ version: number, name: string, sqlite: string[], postgres: string[] }} Migration */

/** @type {Migration[]} */
const MIGRATIONS = [
  {
    version: 1,
    name: 'apps, tokens, installations, consumed signs',
    sqlite: [
      `CREATE TABLE apps (
        app_key TEXT PRIMARY KEY,
        schemes TEXT NOT NULL,
        signature TEXT,
        secret_id TEXT NOT NULL UNIQUE,
        secret_salt TEXT NOT NULL,
        secret_hash TEXT NOT NULL,
        created_at INTEGER NOT NULL,
        rotated_at INTEGER NOT NULL)`,
      `CREATE TABLE tokens (
        token_hash TEXT PRIMARY KEY,
        app_key TEXT NOT NULL,
        installation_id TEXT NOT NULL,
        issued_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        scheme TEXT NOT NULL,
        clock_offset_ms INTEGER,
        signature_ok INTEGER)`,
      'CREATE INDEX tokens_installation ON tokens (app_key, installation_id)',
      'CREATE INDEX tokens_issued ON tokens (issued_at)',
      `CREATE TABLE installations (
        app_key TEXT NOT NULL,
        installation_id TEXT NOT NULL,
        first_seen_at INTEGER NOT NULL,
        last_exchange_at INTEGER NOT NULL,
        clock_offset_ms INTEGER,
        exchanges INTEGER NOT NULL,
        PRIMARY KEY (app_key, installation_id))`,
      'CREATE INDEX installations_last ON installations (last_exchange_at)',
      `CREATE TABLE consumed (
        app_key TEXT NOT NULL,
        digest TEXT NOT NULL,
        expires_at INTEGER NOT NULL,
        PRIMARY KEY (app_key, digest))`,
      'CREATE INDEX consumed_expires ON consumed (expires_at)',
    ],
    postgres: [
      `CREATE TABLE apps (
        app_key TEXT PRIMARY KEY,
        schemes TEXT NOT NULL,
        signature TEXT,
        secret_id TEXT NOT NULL UNIQUE,
        secret_salt TEXT NOT NULL,
        secret_hash TEXT NOT NULL,
        created_at BIGINT NOT NULL,
        rotated_at BIGINT NOT NULL)`,
      `CREATE TABLE tokens (
        token_hash TEXT PRIMARY KEY,
        app_key TEXT NOT NULL,
        installation_id TEXT NOT NULL,
        issued_at BIGINT NOT NULL,
        expires_at BIGINT NOT NULL,
        scheme TEXT NOT NULL,
        clock_offset_ms BIGINT,
        signature_ok BOOLEAN)`,
      'CREATE INDEX tokens_installation ON tokens (app_key, installation_id)',
      'CREATE INDEX tokens_issued ON tokens (issued_at)',
      `CREATE TABLE installations (
        app_key TEXT NOT NULL,
        installation_id TEXT NOT NULL,
        first_seen_at BIGINT NOT NULL,
        last_exchange_at BIGINT NOT NULL,
        clock_offset_ms BIGINT,
        exchanges BIGINT NOT NULL,
        PRIMARY KEY (app_key, installation_id))`,
      'CREATE INDEX installations_last ON installations (last_exchange_at)',
      `CREATE TABLE consumed (
        app_key TEXT NOT NULL,
        digest TEXT NOT NULL,
        expires_at BIGINT NOT NULL,
        PRIMARY KEY (app_key, digest))`,
      'CREATE INDEX consumed_expires ON consumed (expires_at)',
    ],
  },
  {
    version: 2,
    name: 'risk signals: per-app thresholds, installation fingerprints, hourly counts, assessments, service keys',
    sqlite: [
      'ALTER TABLE apps ADD COLUMN thresholds TEXT',
      'ALTER TABLE installations ADD COLUMN fingerprint TEXT',
      'ALTER TABLE installations ADD COLUMN hour_started_at INTEGER',
      'ALTER TABLE installations ADD COLUMN hour_exchanges INTEGER NOT NULL DEFAULT 0',
      'ALTER TABLE installations ADD COLUMN assessment TEXT',
      'CREATE INDEX installations_fingerprint ON installations (app_key, fingerprint, last_exchange_at)',
      `CREATE TABLE service_keys (
        name TEXT PRIMARY KEY,
        value TEXT NOT NULL,
        created_at INTEGER NOT NULL)`,
    ],
    postgres: [
      'ALTER TABLE apps ADD COLUMN thresholds TEXT',
      'ALTER TABLE installations ADD COLUMN fingerprint TEXT',
      'ALTER TABLE installations ADD COLUMN hour_started_at BIGINT',
      'ALTER TABLE installations ADD COLUMN hour_exchanges BIGINT NOT NULL DEFAULT 0',
      'ALTER TABLE installations ADD COLUMN assessment TEXT',
      'CREATE INDEX installations_fingerprint ON installations (app_key, fingerprint, last_exchange_at)',
      `CREATE TABLE service_keys (
        name TEXT PRIMARY KEY,
        value TEXT NOT NULL,
        created_at BIGINT NOT NULL)`,
    ],
  },
];

module.exports = { MIGRATIONS };
