// The client against the real helper on a SoftHSM2 card and an NSS store;
// every signature is checked with node:crypto.

import assert from 'node:assert/strict';
import { createHash, verify } from 'node:crypto';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, describe, test } from 'node:test';
import { inspect } from 'node:util';

import * as client from '../index.mjs';
import { cardModule, cardPin, Fixture, helper, standInPinentry } from './fixtures.js';

const storeLabel = 'macOS Keychain/CryptoTokenKit';
const cardLabel = 'AKİS PKCS#11';
const prefix = Buffer.from('3031300d060960864801650304020105000420', 'hex');

function digestInfoOf(document) {
  return Buffer.concat([prefix, createHash('sha256').update(document).digest()]);
}

function verifies(identity, data, signature) {
  return verify('sha256', data, identity.publicKey, signature);
}

// Made as the file loads: Node 18 runs the bodies of describe() before any
// before() hook, and the cases below read the fixture's folder.
const fixture = new Fixture();
const options = { binary: helper, module: cardModule, env: fixture.environment() };
after(() => fixture.remove());

describe('answers', () => {
  test('list: the store, then the card, as typed entries', async () => {
    const { certificates, warning } = await client.list(options);
    assert.equal(warning, undefined);
    const expected = [fixture.storeRsa, fixture.storeEc, fixture.card];
    assert.deepEqual(
      certificates.map((entry) => [entry.fingerprint, entry.providerName]).sort(),
      expected.map((identity, i) => [identity.fingerprint, i < 2 ? storeLabel : cardLabel]).sort(),
    );
    assert.equal(certificates[2].providerName, cardLabel);
    for (const entry of certificates) {
      assert.ok(Buffer.isBuffer(entry.certificate));
      assert.equal(entry.fingerprint, createHash('sha256').update(entry.certificate).digest('hex'));
      assert.equal(entry.identityFingerprint, entry.fingerprint);
      assert.ok(entry.validFrom instanceof Date && entry.validUntil instanceof Date);
      assert.ok(entry.validFrom < new Date() && new Date() < entry.validUntil);
    }
    const card = certificates.find((entry) => entry.providerName === cardLabel);
    assert.deepEqual(card.certificate, fixture.card.der);
    assert.equal(card.certificateSubject, 'CN=Kart Kullanıcısı, SERIALNUMBER=12345678901, C=TR');
  });

  test('list: a module that cannot be loaded is a warning beside the store', async () => {
    const notAModule = fixture.script('not-a-module.so', 'exit 0');
    const { certificates, warning } = await client.list({ ...options, module: notAModule });
    assert.equal(warning, `Kütüphane yüklenemedi: ${notAModule}`);
    assert.deepEqual(certificates.map((entry) => entry.providerName), [storeLabel, storeLabel]);
  });

  for (const key of ['storeRsa', 'storeEc']) {
    test(`sign: the store's ${key} key signs without a dialog`, async () => {
      const identity = fixture[key];
      const challenge = Buffer.from(`meydan okuma ${key}`);
      const answer = await client.sign({ challenge, fingerprint: identity.fingerprint.toUpperCase() }, options);
      assert.deepEqual(answer.certificate, identity.der);
      assert.equal(answer.fingerprint, identity.fingerprint);
      assert.equal(answer.providerName, undefined);
      assert.ok(verifies(identity, challenge, answer.signature));
    });
  }

  test('sign: the card signs after the PIN dialog', async () => {
    const record = join(fixture.folder, 'pinentry-record');
    writeFileSync(record, '');
    const env = fixture.environment({
      PATH: `${standInPinentry}:${process.env.PATH}`,
      // The stand-in plays a graphical pinentry, which needs a display.
      DISPLAY: ':stand-in',
      FAKE_PINENTRY_RECORD: record,
      FAKE_PINENTRY_REPLY_GETPIN: `D ${cardPin}\nOK`,
    });
    const challenge = Buffer.alloc(4096, 0xa5);
    const answer = await client.sign({ challenge, fingerprint: fixture.card.fingerprint }, { ...options, env });
    assert.ok(verifies(fixture.card, challenge, answer.signature));
    assert.equal(answer.certificateSubject, 'CN=Kart Kullanıcısı, SERIALNUMBER=12345678901, C=TR');
    assert.equal(readFileSync(record, 'utf8').split('\n').filter((line) => line === 'GETPIN').length, 1);
  });

  test('documentCertificate: the named certificate, or the card\'s first', async () => {
    for (const request of [{ fingerprint: fixture.card.fingerprint.toUpperCase() }, {}, undefined]) {
      const answer = await client.documentCertificate(request, options);
      assert.deepEqual(answer, { certificate: fixture.card.der, identityFingerprint: fixture.card.fingerprint });
    }
  });

  for (const [kind, pin] of [['string', cardPin], ['Buffer', Buffer.from(cardPin)]]) {
    test(`signDocument: the card signs the DigestInfo with a ${kind} PIN`, async () => {
      const document = Buffer.from(`Sözleşme ${kind}`);
      const answer = await client.signDocument(
        { digestInfo: digestInfoOf(document), pin, fingerprint: fixture.card.fingerprint },
        options,
      );
      assert.deepEqual(answer.certificate, fixture.card.der);
      assert.ok(verifies(fixture.card, document, answer.signature));
    });
  }
});

// Twenty helpers at once share the certificate store; each has a copy of the
// card (see environmentWithOwnCard).
test('20 requests at once, each answered and each signature sound', async () => {
  const requests = [];
  for (let i = 0; i < 20; i += 1) {
    const own = { ...options, env: fixture.environmentWithOwnCard(i) };
    const document = Buffer.from(`belge ${i}`);
    const identity = i % 2 === 0 ? fixture.storeRsa : fixture.storeEc;
    requests.push(
      [
        () => client.list(own).then((answer) => assert.equal(answer.certificates.length, 3)),
        () => client.sign({ challenge: document, fingerprint: identity.fingerprint }, own)
          .then((answer) => assert.ok(verifies(identity, document, answer.signature))),
        () => client.documentCertificate({}, own)
          .then((answer) => assert.equal(answer.identityFingerprint, fixture.card.fingerprint)),
        () => client.signDocument({ digestInfo: digestInfoOf(document), pin: cardPin }, own)
          .then((answer) => assert.ok(verifies(fixture.card, document, answer.signature))),
      ][i % 4](),
    );
  }
  const outcomes = await Promise.allSettled(requests);
  assert.deepEqual(outcomes.filter((outcome) => outcome.status === 'rejected').map((outcome) => outcome.reason?.message), []);
});

describe('failures', () => {
  const cases = [
    {
      name: 'the helper\'s error document',
      call: () => client.signDocument({ digestInfo: digestInfoOf(Buffer.from('x')), pin: 'yanlış-PIN' }, options),
      expected: { message: 'PIN HATALI — kart kilitlenmesin diye DURULDU.', status: 2, reason: 'helper' },
      secret: 'yanlış-PIN',
    },
    {
      name: 'an unknown certificate',
      call: () => client.sign({ challenge: Buffer.from([1]), fingerprint: 'ab'.repeat(32) }, options),
      expected: { message: 'AKİS kartında seçilen geçerli sertifika bulunamadı', status: 2, reason: 'helper' },
    },
    {
      name: 'a helper that is not there',
      call: () => client.list({ ...options, binary: join(fixture.folder, 'missing-helper') }),
      expected: { message: `E-imza yardımcısı başlatılamadı: ${join(fixture.folder, 'missing-helper')}`, status: null, reason: 'not-started' },
    },
    {
      name: 'an answer that is not one JSON line',
      call: () => client.list({ ...options, binary: fixture.script('chatty', 'cat >/dev/null; echo "{}"; echo more') }),
      expected: { message: 'E-imza yardımcısının yanıtı okunamadı', status: 0, reason: 'unreadable' },
    },
  ];
  for (const { name, call, expected, secret } of cases) {
    test(name, async () => {
      const error = await call().then(() => assert.fail('no error'), (caught) => caught);
      assert.ok(error instanceof client.HelperError);
      assert.deepEqual({ message: error.message, status: error.status, reason: error.reason }, expected);
      if (secret) {
        assert.ok(!inspect(error, { depth: 5 }).includes(secret));
      }
    });
  }

  // A helper past its time-out is asked to end (SIGTERM), and killed only if it stays.
  for (const [name, onTerm, signals] of [
    ['ends when asked', `echo TERM >> '$log'; exit 143`, ['TERM']],
    ['is killed when it stays', `echo TERM >> '$log'`, ['TERM', 'KILL']],
  ]) {
    test(`a helper that does not answer in time ${name}`, async () => {
      const log = join(fixture.folder, `${name}.log`);
      const pidFile = join(fixture.folder, `${name}.pid`);
      const body = `log='${log}'; echo $$ > '${pidFile}'; trap "${onTerm}" TERM; ` +
        `while :; do sleep 0.05; done`;
      const hung = fixture.script(name.replaceAll(' ', '-'), body);
      const error = await client.list({ ...options, binary: hung, timeout: 300 }).catch((caught) => caught);
      assert.deepEqual(
        { message: error.message, status: error.status, reason: error.reason },
        { message: 'E-imza yardımcısı zamanında yanıt vermedi', status: null, reason: 'timeout' },
      );
      const pid = Number(readFileSync(pidFile, 'utf8'));
      assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' });
      const seen = readFileSync(log, 'utf8').trim().split('\n');
      assert.deepEqual([...seen, ...(signals.includes('KILL') ? ['KILL'] : [])], signals);
    });
  }

  test('inputs that are not bytes are refused before anything starts', () => {
    assert.throws(() => client.sign({ challenge: 'AQID', fingerprint: 'ab' }, options), TypeError);
    assert.throws(() => client.signDocument({ digestInfo: Buffer.alloc(51), pin: 1234 }, options), TypeError);
  });
});

test('the declarations name exactly what the module exports, to require() and import alike', () => {
  const declarations = readFileSync(new URL('../index.d.ts', import.meta.url), 'utf8');
  const declared = [...declarations.matchAll(/^export declare (?:class|const|function) (\w+)/gm)].map((match) => match[1]);
  const required = createRequire(import.meta.url)('../index.js');
  assert.deepEqual(Object.keys(required).sort(), declared.sort());
  assert.deepEqual(Object.keys(client).sort(), [...declared, 'default'].sort());
  assert.equal(client.default, required);
  for (const name of declared) {
    assert.equal(client[name], required[name], name);
  }
});
