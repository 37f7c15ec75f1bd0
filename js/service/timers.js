// @ts-check
'use strict';
// The timers of one running service, so that close() can clear every one
// and the process can exit by itself.

/**
 * @typedef {object} Timers
 * @property {(ms: number, fn: () => void) => NodeJS.Timeout} later runs fn once after ms, unless cleared first
 * @property {(t: NodeJS.Timeout) => void} add keeps a timer made elsewhere
 * @property {(t: NodeJS.Timeout) => void} clear clears one and forgets it
 * @property {() => void} clearAll
 */

/** @returns {Timers} */
function createTimers() {
  /** @type {Set<NodeJS.Timeout>} */
  const timers = new Set();
  return {
    later(ms, fn) {
      const t = setTimeout(() => {
        timers.delete(t);
        fn();
      }, ms);
      timers.add(t);
      return t;
    },
    add(t) { timers.add(t); },
    clear(t) {
      clearTimeout(t);
      timers.delete(t);
    },
    clearAll() {
      for (const t of timers) clearTimeout(t);
      timers.clear();
    },
  };
}

module.exports = { createTimers };
