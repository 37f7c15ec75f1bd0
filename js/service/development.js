// @ts-check
'use strict';
// The development mode's controls: the answer settings (token, uuid,
// situationAnswer), the fault mode in force and how requests take it, and
// the admin calls under /__admin/ (mode, requests, clear, config).

const { normalizeMode } = require('./fault-modes');
const { ADMIN_PREFIX } = require('./paths');
const { readBody, replyJson } = require('./http-io');

const ANSWER_SETTINGS = ['token', 'uuid', 'situationAnswer'];

/**
 * @typedef {import('./fault-modes').FaultMode} FaultMode
 * @typedef {import('./records').RequestRecord} RequestRecord
 * @typedef {string | ((rec: RequestRecord) => unknown) | undefined} Setting a value, or a function of the request's record
 *
 * @typedef {object} AnswerSettings
 * @property {Setting} token the token answered; a fresh one when unset
 * @property {Setting} uuid the installation id answered; none when unset
 * @property {Setting | Buffer} situationAnswer the text answered to a situation report
 * @property {Set<string> | null} appKeys the only keys served, when set
 *
 * @typedef {object} DevelopmentKit
 * @property {AnswerSettings} settings
 * @property {() => FaultMode} faultMode the mode in force
 * @property {(next: FaultMode) => void} setFaultMode
 * @property {(endpoint: 'token' | 'situation') => FaultMode} takeMode the mode a request follows;
 *   counts it against the mode's `times`
 * @property {(changes: Record<string, any>) => void} configure changes answer settings
 * @property {(req: import('node:http').IncomingMessage, res: import('node:http').ServerResponse, pathname: string,
 *   control: AdminControl) => Promise<void>} admin answers one call under /__admin/
 *
 * @typedef {object} AdminControl what the admin calls act on
 * @property {string | null} adminUrl
 * @property {(m: FaultMode) => Promise<unknown>} setMode switches the mode (and the listener)
 * @property {import('./records').Recorder} recorder
 */

/**
 * @param {Setting | Buffer} setting
 * @param {RequestRecord} rec
 * @returns {unknown}
 */
function valueOf(setting, rec) {
  return typeof setting === 'function' ? setting(rec) : setting;
}

/**
 * @param {{ development: boolean, settings: AnswerSettings, mode: string | Record<string, any> | undefined,
 *   maxBodyBytes: number, log: (line: string) => void }} options
 * @returns {DevelopmentKit}
 */
function createDevelopmentKit({ development, settings, mode, maxBodyBytes, log }) {
  let faultMode = normalizeMode(mode || 'normal');

  /** @param {Record<string, any>} changes */
  function configure(changes) {
    for (const k of ANSWER_SETTINGS) if (k in changes) /** @type {Record<string, any>} */ (settings)[k] = changes[k];
  }

  return {
    settings,
    faultMode: () => faultMode,
    setFaultMode(next) { faultMode = next; },
    takeMode(endpoint) {
      if (!development) return { name: 'normal' };
      const m = faultMode;
      if (m.endpoint !== undefined && m.endpoint !== endpoint) return { name: 'normal' };
      if (m.times !== undefined) {
        m.times -= 1;
        if (m.times <= 0) faultMode = { name: 'normal' };
      }
      return m;
    },
    configure,
    async admin(req, res, pathname, control) {
      /** @param {number} status @param {unknown} obj */
      const reply = (status, obj) => replyJson(res, status, obj);
      const read = await readBody(req, maxBodyBytes);
      if (!read.body) return reply(413, { ok: false, error: 'body too large or broken' });
      /** @type {Record<string, any>} */
      let args = {};
      if (read.body.length > 0) {
        try {
          args = JSON.parse(read.body.toString('utf8'));
        } catch (e) {
          return reply(400, { ok: false, error: `bad JSON: ${e.message}` });
        }
      }
      const what = pathname.slice(ADMIN_PREFIX.length);
      if (what === 'mode' && req.method === 'GET') return reply(200, { ok: true, mode: faultMode, adminUrl: control.adminUrl });
      if (what === 'mode' && req.method === 'POST') {
        /** @type {FaultMode} */
        let m;
        try {
          m = normalizeMode(args);
        } catch (e) {
          return reply(400, { ok: false, error: e.message });
        }
        // Switch once the answer is out: "down" closes this very connection.
        res.on('finish', () => {
          control.setMode(m).catch((e) => log(`${e}`));
        });
        return reply(200, { ok: true, mode: m, adminUrl: control.adminUrl });
      }
      if (what === 'requests' && req.method === 'GET') return reply(200, control.recorder.requests);
      if (what === 'clear' && req.method === 'POST') {
        control.recorder.clear();
        return reply(200, { ok: true });
      }
      if (what === 'config' && req.method === 'POST') {
        configure(args);
        return reply(200, { ok: true });
      }
      return reply(404, { ok: false, error: `unknown admin call ${req.method} ${pathname}` });
    },
  };
}

module.exports = { createDevelopmentKit, valueOf };
