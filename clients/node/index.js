// Calls tarvo-eimza-helper the way its protocol asks: one process per
// request, one JSON object on standard input, one JSON line back. No runtime
// dependencies; see index.d.ts for the types and README.md for the use.
// CommonJS, so that require() finds it on every Node.js from 18 on; ES modules
// import it through index.mjs, which hands on these very functions and class.

'use strict';

const { spawn } = require('node:child_process');
const { Buffer } = require('node:buffer');

const defaultBinary = 'tarvo-eimza-helper';
// Longer than the helper's own limits: five minutes for the PIN dialog and
// one minute for any single call into the card module.
const defaultTimeout = 7 * 60 * 1000;

// The client's own texts, for failures that the helper cannot report itself.
const messages = {
  notStarted: 'E-imza yardımcısı başlatılamadı: ',
  timedOut: 'E-imza yardımcısı zamanında yanıt vermedi',
  unreadable: 'E-imza yardımcısının yanıtı okunamadı',
};

/** Every failure: the helper's Turkish message and its exit status. */
class HelperError extends Error {
  constructor(message, { status = null, reason = 'helper', cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'HelperError';
    // The exit status, or null when the helper did not exit by itself.
    this.status = status;
    // 'helper' (its error document), 'timeout', 'not-started' or 'unreadable'.
    this.reason = reason;
  }
}

function list(options = {}) {
  return call({ action: 'list' }, options).then((answer) => ({
    certificates: answer.certificates.map(certificateEntry),
    ...(answer.warning === undefined ? {} : { warning: answer.warning }),
  }));
}

function sign({ challenge, fingerprint }, options = {}) {
  return call({ action: 'sign', challenge: base64Of(challenge, 'challenge'), fingerprint }, options).then(
    (answer) => ({ ...certificateEntry(answer), signature: bytes(answer.signature) }),
  );
}

function documentCertificate({ fingerprint } = {}, options = {}) {
  return call({ action: 'udf-cert', fingerprint }, options).then((answer) => ({
    certificate: bytes(answer.certificate),
    identityFingerprint: answer.identityFingerprint,
  }));
}

function signDocument({ digestInfo, pin, fingerprint }, options = {}) {
  if (typeof pin !== 'string' && !Buffer.isBuffer(pin)) {
    throw new TypeError('pin must be a string or a Buffer');
  }
  const request = { action: 'udf-sign', digestInfo: base64Of(digestInfo, 'digestInfo'), fingerprint };
  return call(request, options, pin).then((answer) => ({
    certificate: bytes(answer.certificate),
    signature: bytes(answer.signature),
  }));
}

function certificateEntry(entry) {
  const converted = {
    ...entry,
    certificate: bytes(entry.certificate),
    validFrom: new Date(entry.validFrom),
    validUntil: new Date(entry.validUntil),
  };
  delete converted.signature;
  return converted;
}

function bytes(base64) {
  return Buffer.from(base64, 'base64');
}

function base64Of(value, name) {
  if (!(value instanceof Uint8Array)) {
    throw new TypeError(`${name} must be a Buffer or Uint8Array`);
  }
  return Buffer.from(value.buffer, value.byteOffset, value.byteLength).toString('base64');
}

// The request's bytes. The PIN goes straight from its own bytes into the
// buffer, escaped as JSON wants, so that no string of ours ever holds it; the
// caller wipes this buffer once the helper has it.
function requestBytes(request, options, pin) {
  const fields = { ...request, p11: options.module };
  const text = JSON.stringify(fields);
  if (pin === undefined) {
    return Buffer.from(text);
  }
  const pinBytes = Buffer.isBuffer(pin) ? pin : Buffer.from(pin, 'utf8');
  const escaped = Buffer.alloc(pinBytes.length * 6);
  let length = 0;
  for (const byte of pinBytes) {
    if (byte === 0x22 || byte === 0x5c) {
      escaped[length++] = 0x5c;
      escaped[length++] = byte;
    } else if (byte < 0x20) {
      length += escaped.write(`\\u${byte.toString(16).padStart(4, '0')}`, length, 'latin1');
    } else {
      escaped[length++] = byte;
    }
  }
  const whole = Buffer.concat([Buffer.from(`${text.slice(0, -1)},"pin":"`), escaped.subarray(0, length), Buffer.from('"}')]);
  escaped.fill(0);
  if (pinBytes !== pin) {
    pinBytes.fill(0);
  }
  return whole;
}

// How long a helper past its time-out has, after SIGTERM, before SIGKILL.
const terminationGrace = 2000;

function call(request, options, pin) {
  const binary = options.binary ?? defaultBinary;
  const timeout = options.timeout ?? defaultTimeout;
  const input = requestBytes(request, options, pin);
  return new Promise((resolve, reject) => {
    let settled = false;
    const settle = (outcome, value) => {
      if (!settled) {
        settled = true;
        input.fill(0);
        clearTimeout(timer);
        clearTimeout(killer);
        outcome(value);
      }
    };
    const child = spawn(binary, [], { stdio: ['pipe', 'pipe', 'ignore'], env: options.env ?? process.env });
    // 0 or Infinity: no time-out of ours (setTimeout would take Infinity for 1 ms).
    // SIGTERM first, so that the helper takes its PIN dialog along and puts
    // the person's terminal back; SIGKILL only if it is still there a short
    // grace later. The promise settles only once the child is gone.
    let timedOut = false;
    let killer;
    const timer = timeout > 0 && Number.isFinite(timeout)
      ? setTimeout(() => {
        timedOut = true;
        child.kill('SIGTERM');
        killer = setTimeout(() => child.kill('SIGKILL'), terminationGrace);
      }, timeout)
      : undefined;
    const output = [];
    child.stdout.on('data', (chunk) => output.push(chunk));
    child.on('error', (cause) => {
      settle(reject, new HelperError(messages.notStarted + binary, { reason: 'not-started', cause }));
    });
    child.on('close', (status) => {
      const answer = parseAnswer(Buffer.concat(output));
      if (timedOut) {
        settle(reject, new HelperError(messages.timedOut, { reason: 'timeout' }));
      } else if (status === 0 && answer !== undefined && answer.error === undefined) {
        settle(resolve, answer);
      } else if (status === 2 && typeof answer?.error === 'string') {
        settle(reject, new HelperError(answer.error, { status }));
      } else {
        settle(reject, new HelperError(messages.unreadable, { status, reason: 'unreadable' }));
      }
    });
    // A helper that ends before reading everything closes the pipe; its
    // answer says why, so the write error itself tells nothing more.
    child.stdin.on('error', () => {});
    child.stdin.end(input, () => input.fill(0));
  });
}

// One JSON object and one line feed, nothing else.
function parseAnswer(bytes) {
  const text = bytes.toString('utf8');
  if (!text.endsWith('\n') || text.indexOf('\n') !== text.length - 1) {
    return undefined;
  }
  try {
    const answer = JSON.parse(text);
    return answer !== null && typeof answer === 'object' && !Array.isArray(answer) ? answer : undefined;
  } catch {
    return undefined;
  }
}

module.exports = { defaultBinary, defaultTimeout, HelperError, list, sign, documentCertificate, signDocument };
