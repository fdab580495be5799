// The client as a robot author gets it: the build's npm tarball, installed
// offline with npm into a fresh project outside the repository, then used from
// a CommonJS script and from an ES module against the real helper.
//   TARVO_CLIENT_TARBALL   the tarball the build made
//   TARVO_NPM              npm

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { verify } from 'node:crypto';
import { mkdirSync, realpathSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, test } from 'node:test';

import { cardModule, Fixture, helper } from './fixtures.js';

const tarball = process.env.TARVO_CLIENT_TARBALL;
const npm = process.env.TARVO_NPM;
const name = '@tarvo/eimza-helper';

const fixture = new Fixture();
after(() => fixture.remove());

const project = join(fixture.folder, 'robot');
mkdirSync(project);
writeFileSync(join(project, 'package.json'), JSON.stringify({ name: 'robot', version: '1.0.0', private: true }));
// The cache and npm's logs in the fixture's folder: nothing of the person's own.
execFileSync(npm, ['install', '--offline', '--no-audit', '--no-fund', '--ignore-scripts', tarball], {
  cwd: project,
  env: { ...process.env, npm_config_cache: join(fixture.folder, 'npm-cache'), npm_config_update_notifier: 'false' },
  stdio: ['ignore', 'ignore', 'pipe'],
});

// Each script lists, signs the challenge with the store's RSA identity, and
// prints what it got and where the client came from.
const body = `
const options = { binary: process.env.HELPER, module: process.env.CARD_MODULE };
const { certificates } = await client.list(options);
const challenge = Buffer.from('Robot meydan okuması');
const answer = await client.sign({ challenge, fingerprint: process.env.SIGNER }, options);
const failure = await client.list({ binary: '/nonexistent/helper' }).catch((error) => error);
console.log(JSON.stringify({
  from: resolved,
  listed: certificates.map((entry) => [entry.fingerprint, entry.providerName]).sort(),
  signature: answer.signature.toString('base64'),
  failure: [failure instanceof client.HelperError, failure.reason],
}));`;

const kinds = [
  ['a CommonJS script', 'robot.cjs', `const client = require('${name}');\nconst resolved = require.resolve('${name}');\n(async () => {${body}\n})();`],
  // The module that import gave is the one require finds in node_modules.
  ['an ES module', 'robot.mjs', `import * as client from '${name}';\nimport { createRequire } from 'node:module';\n` +
    `const require = createRequire(import.meta.url);\n` +
    `const resolved = require('${name}') === client.default ? require.resolve('${name}') : 'elsewhere';${body}`],
];

for (const [kind, file, text] of kinds) {
  test(`the installed client lists and signs from ${kind}`, () => {
    writeFileSync(join(project, file), text);
    const output = execFileSync(process.execPath, [file], {
      cwd: project,
      env: { ...fixture.environment(), HELPER: helper, CARD_MODULE: cardModule, SIGNER: fixture.storeRsa.fingerprint },
    });
    const result = JSON.parse(output);
    const installed = realpathSync(join(project, 'node_modules', '@tarvo', 'eimza-helper'));
    assert.equal(result.from, join(installed, 'index.js'));
    assert.deepEqual(result.listed, [
      [fixture.storeRsa.fingerprint, 'macOS Keychain/CryptoTokenKit'],
      [fixture.storeEc.fingerprint, 'macOS Keychain/CryptoTokenKit'],
      [fixture.card.fingerprint, 'AKİS PKCS#11'],
    ].sort());
    assert.ok(verify('sha256', Buffer.from('Robot meydan okuması'), fixture.storeRsa.publicKey, Buffer.from(result.signature, 'base64')));
    assert.deepEqual(result.failure, [true, 'not-started']);
  });
}
