// The test authorization server refuses what a real one refuses: a token
// request without the code verifier or with a wrong one, a code used twice,
// a redirect to anything but the registered loopback callback, a missing
// PKCE challenge, and an `aud` that is not the FHIR server. The codes come
// from real sign-ins in headless Chromium (sign-in.mjs) to a loopback
// listener of the test.
//
//   node --test tests/support/oidc-server/server.test.mjs

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { dirname, join } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

const folder = dirname(fileURLToPath(import.meta.url));
const FHIR_BASE = 'http://127.0.0.1:9/fhir/R4/';
const CLIENT = 'kelvra-capture-test';
let server;
let issuer;
let callback; // the loopback listener: its URL and the requests it got
const received = [];

function run(args) {
  return new Promise((resolve) => {
    const child = spawn('node', args, { cwd: folder, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (d) => (out += d));
    child.on('exit', (code) => resolve({ code, out: out.trim() }));
  });
}

before(async () => {
  server = spawn('node', ['server.mjs', '--fhir-base', FHIR_BASE, '--client-id', CLIENT], { cwd: folder, stdio: ['ignore', 'pipe', 'inherit'] });
  issuer = await new Promise((resolve, reject) => {
    server.stdout.on('data', (d) => {
      const m = /listening on (\S+)/.exec(String(d));
      if (m) resolve(m[1]);
    });
    server.on('exit', () => reject(new Error('the server ended')));
  });
  const listener = createServer((req, res) => {
    received.push(new URL(req.url, 'http://127.0.0.1'));
    res.end('ok');
  });
  await new Promise((resolve) => listener.listen(0, '127.0.0.1', resolve));
  callback = { url: `http://127.0.0.1:${listener.address().port}/callback`, listener };
});

after(() => {
  server?.kill();
  callback?.listener.close();
});

const b64url = (b) => Buffer.from(b).toString('base64url');

function authorizeURL(overrides = {}) {
  const verifier = b64url(randomBytes(32));
  const params = {
    response_type: 'code',
    client_id: CLIENT,
    redirect_uri: callback.url,
    scope: 'openid fhirUser offline_access user/Patient.rs',
    state: b64url(randomBytes(16)),
    nonce: b64url(randomBytes(16)),
    aud: FHIR_BASE,
    code_challenge: b64url(createHash('sha256').update(verifier).digest()),
    code_challenge_method: 'S256',
    ...overrides,
  };
  for (const [k, v] of Object.entries(params)) if (v === undefined) delete params[k];
  return { url: `${issuer}auth?${new URLSearchParams(params)}`, verifier, params };
}

// A real sign-in in the browser; the code that reached the loopback listener.
async function code(overrides = {}) {
  const a = authorizeURL(overrides);
  const result = await run(['sign-in.mjs', a.url]);
  assert.equal(result.code, 0, result.out);
  const back = received.filter((u) => u.pathname === '/callback').at(-1);
  assert.equal(back.searchParams.get('state'), a.params.state);
  return { code: back.searchParams.get('code'), verifier: a.verifier };
}

async function token(form) {
  const answer = await fetch(`${issuer}token`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ grant_type: 'authorization_code', client_id: CLIENT, redirect_uri: callback.url, ...form }),
  });
  return { status: answer.status, body: await answer.json() };
}

test('the code verifier is required and checked, and a code works once', async () => {
  for (const [name, verifier] of [['missing', undefined], ['wrong', b64url(randomBytes(32))]]) {
    const c = await code();
    const form = { code: c.code };
    if (verifier) form.code_verifier = verifier;
    const refused = await token(form);
    assert.equal(refused.status, 400, name);
    assert.match(refused.body.error, /invalid_grant|invalid_request/, name);
  }
  const c = await code();
  const first = await token({ code: c.code, code_verifier: c.verifier });
  assert.equal(first.status, 200, JSON.stringify(first.body));
  assert.ok(first.body.id_token && first.body.refresh_token && first.body.access_token);
  const second = await token({ code: c.code, code_verifier: c.verifier });
  assert.equal(second.status, 400);
  assert.equal(second.body.error, 'invalid_grant');
});

test('only the registered loopback callback, PKCE S256 and the FHIR server as aud are accepted', async () => {
  const cases = [
    ['a redirect to another host', { redirect_uri: 'http://evil.example/callback' }],
    ['a redirect to https', { redirect_uri: callback.url.replace('http:', 'https:') }],
    ['another loopback path', { redirect_uri: callback.url.replace('/callback', '/elsewhere') }],
    ['no code challenge', { code_challenge: undefined, code_challenge_method: undefined }],
    ['a plain code challenge', { code_challenge_method: 'plain' }],
    ['another aud', { aud: 'http://127.0.0.1:9/other/' }],
    ['no aud', { aud: undefined }],
  ];
  for (const [name, overrides] of cases) {
    const before = received.filter((u) => u.pathname === '/callback').length;
    const a = authorizeURL(overrides);
    const answer = await fetch(a.url, { redirect: 'manual' });
    const location = answer.headers.get('location') ?? '';
    // Either an error page of the server, or an error sent back to the
    // registered callback; never a sign-in page and never a code.
    assert.ok(answer.status === 400 || /[?&]error=/.test(location), `${name}: ${answer.status} ${location}`);
    assert.ok(!location.startsWith('/interaction/'), name);
    assert.equal(received.filter((u) => u.pathname === '/callback').length, before, name);
  }
});
