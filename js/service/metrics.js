// @ts-check
'use strict';
// The service's counters in the Prometheus text format (version 0.0.4):
// requests by endpoint and status, refusals by reason, verify results, tokens
// issued, and the database's latency by operation as a histogram. Labels
// take values from fixed sets only: no key, token or identifier reaches them.

const kBuckets = [0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5];

function createMetrics() {
  /** @type {Map<string, number>} */
  const requests = new Map();
  /** @type {Map<string, number>} */
  const refusals = new Map();
  /** @type {Map<string, number>} */
  const verifies = new Map();
  /** @type {Map<string, { counts: number[], sum: number, count: number }>} */
  const db = new Map();
  let issued = 0;

  /**
   * @param {Map<string, number>} map
   * @param {string} key
   */
  function bump(map, key) {
    map.set(key, (map.get(key) || 0) + 1);
  }

  return {
    /** @param {string} endpoint @param {number} status */
    request(endpoint, status) { bump(requests, `endpoint="${endpoint}",status="${status}"`); },
    /** @param {string} reason */
    refusal(reason) { bump(refusals, `reason="${reason}"`); },
    /** @param {string} result */
    verify(result) { bump(verifies, `result="${result}"`); },
    issued() { issued += 1; },
    /** @param {string} op @param {number} seconds */
    dbTime(op, seconds) {
      let h = db.get(op);
      if (!h) {
        h = { counts: kBuckets.map(() => 0), sum: 0, count: 0 };
        db.set(op, h);
      }
      for (let i = 0; i < kBuckets.length; i++) if (seconds <= kBuckets[i]) h.counts[i] += 1;
      h.sum += seconds;
      h.count += 1;
    },
    /** @returns {string} */
    text() {
      const out = [];
      /**
       * @param {string} name
       * @param {string} help
       * @param {Map<string, number>} map
       */
      const counter = (name, help, map) => {
        out.push(`# HELP ${name} ${help}`, `# TYPE ${name} counter`);
        for (const [labels, v] of map) out.push(`${name}{${labels}} ${v}`);
      };
      counter('risk_requests_total', 'Requests answered, by endpoint and HTTP status.', requests);
      counter('risk_refusals_total', 'Requests refused, by reason.', refusals);
      counter('risk_verify_total', 'Verify answers, by result.', verifies);
      out.push('# HELP risk_tokens_issued_total Tokens committed and answered.', '# TYPE risk_tokens_issued_total counter',
        `risk_tokens_issued_total ${issued}`);
      out.push('# HELP risk_db_duration_seconds Database operations, by operation.',
        '# TYPE risk_db_duration_seconds histogram');
      for (const [op, h] of db) {
        kBuckets.forEach((b, i) => out.push(`risk_db_duration_seconds_bucket{op="${op}",le="${b}"} ${h.counts[i]}`));
        out.push(`risk_db_duration_seconds_bucket{op="${op}",le="+Inf"} ${h.count}`,
          `risk_db_duration_seconds_sum{op="${op}"} ${h.sum}`, `risk_db_duration_seconds_count{op="${op}"} ${h.count}`);
      }
      return `${out.join('\n')}\n`;
    },
  };
}

module.exports = { createMetrics };
