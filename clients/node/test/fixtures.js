// A throwaway AKİS-like card (a SoftHSM2 token) and a throwaway certificate
// store (an NSS database in its own HOME), made with the same command-line
// tools a person would use. The build tells the tests where things are:
//   TARVO_HELPER             the helper binary
//   TARVO_TEST_CARD_MODULE   the module to name as "p11"
//   TARVO_SOFTHSM_MODULE     SoftHSM2 itself, for pkcs11-tool
//   TARVO_STAND_IN_PINENTRY  the folder of the stand-in pinentry

import { execFileSync } from 'node:child_process';
import { createHash, X509Certificate } from 'node:crypto';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const helper = required('TARVO_HELPER');
export const cardModule = required('TARVO_TEST_CARD_MODULE');
const softhsm = required('TARVO_SOFTHSM_MODULE');
export const standInPinentry = required('TARVO_STAND_IN_PINENTRY');

// JSON and Assuan both have something to escape here, and UTF-8 more than one byte.
export const cardPin = 'Gizli"\\ğ-7391';

function required(name) {
  const value = process.env[name];
  if (!value) {
    throw new Error(`${name} is not set: run these tests through ctest`);
  }
  return value;
}

function run(program, args, env = {}) {
  execFileSync(program, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'ignore', 'pipe'] });
}

export function fingerprintOf(der) {
  return createHash('sha256').update(der).digest('hex');
}

export class Fixture {
  constructor() {
    this.folder = mkdtempSync(join(tmpdir(), 'tarvo-node-'));
    this.home = join(this.folder, 'home');
    mkdirSync(join(this.home, '.pki', 'nssdb'), { recursive: true });
    mkdirSync(join(this.folder, 'tokens'));
    this.softhsmConf = join(this.folder, 'softhsm2.conf');
    writeFileSync(this.softhsmConf, `directories.tokendir = ${join(this.folder, 'tokens')}\nobjectstore.backend = file\nlog.level = ERROR\n`);
    run('certutil', ['-N', '--empty-password', '-d', `sql:${join(this.home, '.pki', 'nssdb')}`]);
    run('softhsm2-util', ['--init-token', '--free', '--label', 'AKIS', '--pin', cardPin, '--so-pin', '87654321'], this.cardEnvironment());

    this.card = this.identity('card', ['-newkey', 'rsa:2048'], '/CN=Kart Kullanıcısı/serialNumber=12345678901/C=TR');
    this.storeRsa = this.identity('store-rsa', ['-newkey', 'rsa:2048'], '/CN=Depo RSA/O=Tarvo, Test/C=TR');
    this.storeEc = this.identity('store-ec', ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1'], '/CN=Depo EC/C=TR');
    this.putOnCard(this.card, '01');
    this.putInStore(this.storeRsa);
    this.putInStore(this.storeEc);
  }

  // The environment the helper runs with: the throwaway store and card only.
  environment(extra = {}) {
    return { PATH: process.env.PATH, HOME: this.home, SOFTHSM2_CONF: this.softhsmConf, ...extra };
  }

  cardEnvironment() {
    return { SOFTHSM2_CONF: this.softhsmConf };
  }

  // The helper's environment with a copy of the card of its own. SoftHSM2
  // rewrites its token file at every login, and a process that reads it
  // meanwhile finds no token: a real card's reader serialises that access,
  // SoftHSM2's files do not.
  environmentWithOwnCard(name) {
    const tokens = join(this.folder, `tokens-${name}`);
    cpSync(join(this.folder, 'tokens'), tokens, { recursive: true });
    const conf = join(this.folder, `softhsm2-${name}.conf`);
    writeFileSync(conf, `directories.tokendir = ${tokens}\nobjectstore.backend = file\nlog.level = ERROR\n`);
    return this.environment({ SOFTHSM2_CONF: conf });
  }

  // A self-signed certificate and its key, as PEM files and DER bytes.
  identity(name, keyArguments, subject) {
    const key = join(this.folder, `${name}.key`);
    const pem = join(this.folder, `${name}.pem`);
    run('openssl', ['req', '-x509', ...keyArguments, '-nodes', '-keyout', key, '-out', pem, '-days', '30', '-subj', subject, '-utf8']);
    const der = new X509Certificate(readFileSync(pem)).raw;
    return { name, key, pem, der, fingerprint: fingerprintOf(der), publicKey: new X509Certificate(der).publicKey };
  }

  putOnCard(identity, id) {
    const der = join(this.folder, `${identity.name}.der`);
    const pkcs8 = join(this.folder, `${identity.name}.p8`);
    writeFileSync(der, identity.der);
    run('openssl', ['pkcs8', '-topk8', '-nocrypt', '-in', identity.key, '-outform', 'DER', '-out', pkcs8]);
    const tool = ['--module', softhsm, '--token-label', 'AKIS', '--login', '--pin', cardPin];
    run('pkcs11-tool', [...tool, '--write-object', der, '--type', 'cert', '--id', id, '--label', identity.name], this.cardEnvironment());
    run('pkcs11-tool', [...tool, '--write-object', pkcs8, '--type', 'privkey', '--id', id, '--label', identity.name], this.cardEnvironment());
  }

  putInStore(identity) {
    const p12 = join(this.folder, `${identity.name}.p12`);
    run('openssl', ['pkcs12', '-export', '-inkey', identity.key, '-in', identity.pem, '-out', p12, '-passout', 'pass:', '-name', identity.name]);
    run('pk12util', ['-i', p12, '-d', `sql:${join(this.home, '.pki', 'nssdb')}`, '-W', '']);
  }

  // A program in the fixture's folder, for helpers that misbehave on purpose.
  script(name, text) {
    const path = join(this.folder, name);
    writeFileSync(path, `#!/bin/sh\n${text}\n`, { mode: 0o755 });
    return path;
  }

  remove() {
    rmSync(this.folder, { recursive: true, force: true });
  }
}
