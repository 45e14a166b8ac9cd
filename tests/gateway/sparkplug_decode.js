// The gateway tests' Sparkplug B peer: the sparkplug-payload package from
// the npm registry, which shares no code with the gateway, decodes what the
// gateway encodes (and encodes what a host would send it).
//   node sparkplug_decode.js          a payload in hex per line in, its JSON out
//   node sparkplug_decode.js encode   encodePayload's object (JSON) per line in, {"hex": ...} out
// One line out for each line in, {"error": ...} for one that fails, so that
// a batch stays in step. node_modules is found through NODE_PATH.
'use strict';
const readline = require('readline');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

// protobufjs gives 64-bit fields as Long objects: a number where it is
// exact, the decimal text beyond 2^53.
function isLong(v) {
  return v !== null && typeof v === 'object' && typeof v.low === 'number' && typeof v.high === 'number' &&
    typeof v.unsigned === 'boolean';
}

function plain(v) {
  if (isLong(v)) {
    const n = v.toNumber();
    return Number.isSafeInteger(n) ? n : v.toString();
  }
  if (Array.isArray(v))
    return v.map(plain);
  if (v !== null && typeof v === 'object') {
    const out = {};
    for (const [k, x] of Object.entries(v))
      out[k] = plain(x);
    return out;
  }
  return v;
}

function decode(hex) {
  const p = plain(sparkplug.decodePayload(Buffer.from(hex, 'hex')));
  for (const m of p.metrics || [])
    m.isNull = m.value === null;
  return p;
}

function encode(json) {
  return { hex: Buffer.from(sparkplug.encodePayload(JSON.parse(json))).toString('hex') };
}

const work = process.argv[2] === 'encode' ? encode : decode;
const lines = readline.createInterface({ input: process.stdin, terminal: false });
lines.on('line', (line) => {
  let out;
  try {
    out = work(line.trim());
  } catch (e) {
    out = { error: String(e && e.message ? e.message : e) };
  }
  process.stdout.write(JSON.stringify(out) + '\n');
});
