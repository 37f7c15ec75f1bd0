// @ts-check
'use strict';
// Size of the shared library: the stripped file, its sections, and where
// the bytes come from, per object file of the folder libraries and per
// symbol group. Symbols of the unstripped library are matched by name with
// the symbols each archive member defines; what no member defines (the
// dynamic symbol tables, unwind tables, PLT, the module record) stays
// "unattributed".
//
//   node bench/size.js --lib build-release/libQuonRiskComm.so \
//        --archives build-release [--tools aarch64-linux-gnu-] [--label x86_64]
//        [--shipped FILE] [--extra-archive FILE]...
//
// --shipped: the stripped binary as it ships (scripts/package.sh strips
// with --strip-unneeded); its size is the one reported. Without it the
// library is stripped here. --extra-archive: a static archive linked in
// besides the folder libraries (minizip, protobuf-c), whose symbols are
// attributed to it.
//
// Prints one JSON object (bench/node/common.js format) on stdout.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function argument(name, fallback) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const lib = argument('--lib');
const archivesDir = argument('--archives');
const tools = argument('--tools', '');
const label = argument('--label', os.arch() === 'x64' ? 'x86_64' : os.arch());
const shipped = argument('--shipped');
const extraArchives = process.argv.flatMap((a, i, all) => (all[i - 1] === '--extra-archive' ? [a] : []));
if (!lib || !archivesDir) {
  process.stderr.write('usage: size.js --lib FILE --archives DIR [--tools PREFIX] [--label NAME]\n');
  process.exit(2);
}

function run(tool, args, input) {
  return execFileSync(`${tools}${tool}`, args, { encoding: 'utf8', maxBuffer: 256 * 1024 * 1024, input });
}

function findArchives(dir) {
  const out = [];
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const p = path.join(dir, entry.name);
    if (entry.isDirectory()) out.push(...findArchives(p));
    else if (/^librisk_.*\.a$/.test(entry.name)) out.push(p);
  }
  return out;
}

// name -> "archive(member)" for every defined code or data symbol.
function memberSymbols(archives) {
  const owner = new Map();
  for (const archive of archives) {
    const text = run('nm', ['--defined-only', '-A', archive]);
    for (const line of text.split('\n')) {
      // archive:member:address type name
      const m = /^(.*?):([^:]+):[0-9a-fA-F]*\s+([A-Za-z])\s+(.+)$/.exec(line);
      if (!m || !/[TtDdBbRrVvWw]/.test(m[3])) continue;
      const who = `${path.basename(archive, '.a').replace(/^lib/, '')}/${m[2].replace(/\.cc\.o$|\.c\.o$|\.o$/, '')}`;
      if (!owner.has(m[4])) owner.set(m[4], who);
    }
  }
  return owner;
}

// Symbols of the library with their sizes: [{ name, demangled, size, type }].
function librarySymbols() {
  const text = run('nm', ['-S', '--defined-only', lib]);
  const symbols = [];
  for (const line of text.split('\n')) {
    const m = /^[0-9a-fA-F]+\s+([0-9a-fA-F]+)\s+([A-Za-z])\s+(.+)$/.exec(line);
    if (m) symbols.push({ name: m[3], size: parseInt(m[1], 16), type: m[2] });
  }
  const demangled = run('c++filt', [], symbols.map((s) => s.name).join('\n')).split('\n');
  symbols.forEach((s, i) => { s.demangled = demangled[i] || s.name; });
  return symbols;
}

// A readable group for a symbol: the namespace and class for C++, the
// prefix for the generated protobuf-c code, "std" for library templates.
function groupOf(demangled, name) {
  if (/^risk__|^protobuf_c_/.test(name)) return 'protobuf-c messages (generated)';
  let d = demangled
    .replace(/^(vtable|typeinfo|typeinfo name|VTT|guard variable|construction vtable) for /, '')
    .replace(/\(anonymous namespace\)/g, '{anon}');
  // Drop a leading return type (template functions): keep what follows the
  // last space outside brackets before the parameter list.
  let depth = 0;
  let nameStart = 0;
  for (let i = 0; i < d.length; i++) {
    const ch = d[i];
    if (ch === '<') depth++;
    else if (ch === '>') depth--;
    else if (ch === '(' && depth === 0) break;
    else if (ch === ' ' && depth === 0) nameStart = i + 1;
  }
  d = d.slice(nameStart);
  const parts = [];
  let cur = '';
  depth = 0;
  for (let i = 0; i < d.length; i++) {
    const ch = d[i];
    if (ch === '(' && depth === 0) break;
    if (ch === '<') depth++;
    else if (ch === '>') depth--;
    if (depth === 0 && d.startsWith('::', i)) {
      parts.push(cur);
      cur = '';
      i++;
      continue;
    }
    cur += ch;
  }
  parts.push(cur);
  const top = parts[0].replace(/<.*/, '');
  if (/^(std|__gnu_cxx|__cxxabiv1)$/.test(top)) return 'std templates';
  if (parts.length === 1) return 'global / C';
  if (top !== 'risk') return top;
  if (parts[1] === '{anon}') return 'risk, file-local helpers';
  if (parts.length === 2) return 'risk, free functions';
  return `risk::${parts[1].replace(/<.*/, '')}`;
}

function sections(file) {
  const text = run('size', ['-A', file]);
  const out = {};
  for (const line of text.split('\n')) {
    const m = /^(\.\S+)\s+(\d+)\s+\d+/.exec(line);
    if (m && Number(m[2]) > 0) out[m[1]] = Number(m[2]);
  }
  return out;
}

let strippedBytes;
let strippedSections;
if (shipped) {
  strippedBytes = fs.statSync(shipped).size;
  strippedSections = sections(shipped);
} else {
  const stripped = path.join(os.tmpdir(), `bench-stripped-${process.pid}.so`);
  run('strip', ['-o', stripped, lib]);
  strippedBytes = fs.statSync(stripped).size;
  strippedSections = sections(stripped);
  fs.rmSync(stripped, { force: true });
}

const owner = memberSymbols([...findArchives(archivesDir), ...extraArchives]);
const byObject = {};
const byGroup = {};
let attributed = 0;
for (const s of librarySymbols()) {
  const who = owner.get(s.name) || 'unattributed symbols (module record, helpers of other objects)';
  byObject[who] = (byObject[who] || 0) + s.size;
  const group = groupOf(s.demangled, s.name);
  byGroup[group] = (byGroup[group] || 0) + s.size;
  attributed += s.size;
}
const sorted = (o) => Object.fromEntries(Object.entries(o).sort((a, b) => b[1] - a[1]));

process.stdout.write(JSON.stringify({
  suite: `size-${label}`,
  figures: [
    { id: `size.${label}.stripped`, label: `stripped libQuonRiskComm.so (${label}${shipped ? ', as shipped' : ''})`, value: strippedBytes / 1024, unit: 'KiB' },
  ],
  size: {
    label,
    shipped: Boolean(shipped),
    strippedBytes,
    sections: strippedSections,
    symbolBytes: attributed,
    byObject: sorted(byObject),
    byGroup: sorted(byGroup),
  },
}) + '\n');
