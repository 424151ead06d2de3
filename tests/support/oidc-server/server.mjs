#!/usr/bin/env node
// An OAuth 2.0 / OpenID Connect authorization server for the tests and the
// demo, on this computer only: the npm package oidc-provider (pinned by
// package-lock.json) set up as an EHR's SMART App Launch server in front of
// the test FHIR server (tests/support/fhir-server). It signs clinicians in
// on a real sign-in page (user name and password, then consent) and is
// strict like a real one:
// - clients: one public native client (no secret) whose redirect URI is
//   http://127.0.0.1/callback with any port (RFC 8252), exactly that path;
//   anything else, a loopback host included, is refused;
// - PKCE with S256 on every authorization; the code verifier is checked at
//   the token endpoint; a code works once;
// - `aud` must be the FHIR server's base URL;
// - scopes: openid, fhirUser, offline_access and SMART user/ scopes (v1 and
//   v2); the id token carries fhirUser, and offline_access brings a refresh
//   token (rotated at each use);
// - token lifetimes: access tokens, refresh tokens and codes expire;
// - revocation and introspection (the FHIR server asks it about tokens with
//   the resource server's secret).
//
//   node server.mjs [--host 127.0.0.1] [--port 0] [--client-id ID]
//                   [--fhir-base URL] [--resource-secret SECRET]
//                   [--user LOGIN:PASSWORD:FHIRUSER]... [--token-lifetime S]
//                   [--refresh-lifetime S]
//
// Prints "oidc-server listening on <issuer>/" once it listens. Control for
// the tests: GET /control/state, POST /control/revoke-all (every token and
// grant of today revoked, as an EHR administrator would), POST
// /control/settings {token_lifetime, refresh_lifetime}, POST /control/faults
// {drop_after_handling: PATH, count} (the request is carried out, then the
// connection drops without an answer).

import { generateKeyPairSync, randomUUID } from 'node:crypto';
import { createServer } from 'node:http';

import Provider, { errors } from 'oidc-provider';

// ---- options ----

function parseOptions(argv) {
  const options = {
    host: '127.0.0.1',
    port: 0,
    clientId: 'kelvra-capture-test',
    fhirBase: '',
    resourceSecret: '',
    users: [],
    tokenLifetime: 300,
    refreshLifetime: 8 * 3600,
  };
  for (let i = 0; i < argv.length; ++i) {
    const a = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--host') options.host = value();
    else if (a === '--port') options.port = Number(value());
    else if (a === '--client-id') options.clientId = value();
    else if (a === '--fhir-base') options.fhirBase = value();
    else if (a === '--resource-secret') options.resourceSecret = value();
    else if (a === '--user') {
      const [login, password, ...rest] = value().split(':');
      options.users.push({ login, password, fhirUser: rest.join(':') });
    } else if (a === '--token-lifetime') options.tokenLifetime = Number(value());
    else if (a === '--refresh-lifetime') options.refreshLifetime = Number(value());
    else throw new Error(`unknown option ${a}`);
  }
  if (!['127.0.0.1', 'localhost', '::1'].includes(options.host))
    throw new Error('the test authorization server listens on this computer only');
  if (!options.users.length) options.users.push({ login: 'dr.lee', password: 'capture', fhirUser: 'Practitioner/prac-lee' });
  return options;
}

const options = parseOptions(process.argv.slice(2));
const fhirUserOf = (u) => (/^https?:/.test(u.fhirUser) || !options.fhirBase ? u.fhirUser : options.fhirBase + u.fhirUser);

// ---- storage: in memory, all of it revocable at once ----

const stores = new Map(); // model -> Map(id -> { payload, expires })
const state = { signIns: 0, failedSignIns: 0, grants: [], revocations: 0, introspections: 0, tokenLifetime: options.tokenLifetime, refreshLifetime: options.refreshLifetime };

class Adapter {
  constructor(model) {
    this.model = model;
    if (!stores.has(model)) stores.set(model, new Map());
    this.store = stores.get(model);
  }
  async upsert(id, payload, expiresIn) {
    this.store.set(id, { payload, expires: expiresIn ? Date.now() + expiresIn * 1000 : Infinity });
  }
  async find(id) {
    const entry = this.store.get(id);
    if (!entry) return undefined;
    if (entry.expires < Date.now()) {
      this.store.delete(id);
      return undefined;
    }
    return entry.payload;
  }
  async findByUid(uid) {
    for (const [id, e] of this.store) if (e.payload.uid === uid) return this.find(id);
    return undefined;
  }
  async findByUserCode(userCode) {
    for (const [id, e] of this.store) if (e.payload.userCode === userCode) return this.find(id);
    return undefined;
  }
  async consume(id) {
    const entry = this.store.get(id);
    if (entry) entry.payload.consumed = Math.floor(Date.now() / 1000);
  }
  async destroy(id) {
    this.store.delete(id);
  }
  async revokeByGrantId(grantId) {
    for (const model of ['AccessToken', 'AuthorizationCode', 'RefreshToken'])
      for (const [id, e] of stores.get(model) ?? []) if (e.payload.grantId === grantId) stores.get(model).delete(id);
  }
}

// ---- the provider ----

const SMART_SCOPES = [];
for (const type of ['Patient', 'Encounter', 'DocumentReference', 'Practitioner', 'Organization'])
  for (const p of ['read', 'write', 'rs', 'r', 's', 'cs', 'c', 'crs', 'cruds']) SMART_SCOPES.push(`user/${type}.${p}`);

const { privateKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
const signingKey = { ...privateKey.export({ format: 'jwk' }), kid: 'kelvra-test-signing', alg: 'RS256', use: 'sig' };

const server = createServer();
await new Promise((resolve) => server.listen(options.port, options.host, resolve));
const host = options.host === '::1' ? '[::1]' : options.host;
const issuer = `http://${host}:${server.address().port}`;

const provider = new Provider(issuer, {
  adapter: Adapter,
  clients: [
    {
      client_id: options.clientId,
      application_type: 'native',
      token_endpoint_auth_method: 'none',
      redirect_uris: ['http://127.0.0.1/callback'],
      grant_types: ['authorization_code', 'refresh_token'],
      response_types: ['code'],
    },
    ...(options.resourceSecret
      ? [{ client_id: 'fhir-server', client_secret: options.resourceSecret, grant_types: [], response_types: [], redirect_uris: [] }]
      : []),
  ],
  jwks: { keys: [signingKey] },
  cookies: { keys: [randomUUID()] },
  pkce: { methods: ['S256'], required: () => true },
  scopes: ['openid', 'offline_access', 'fhirUser', 'profile', ...SMART_SCOPES],
  claims: { openid: ['sub'], fhirUser: ['fhirUser'], profile: ['name'] },
  conformIdTokenClaims: false,
  extraParams: {
    // SMART: the FHIR server the token is for.
    aud(ctx, value) {
      if (!value) throw new errors.InvalidRequest('aud (the FHIR base URL) is required');
      if (options.fhirBase && value !== options.fhirBase) throw new errors.InvalidRequest(`aud must be ${options.fhirBase}`);
    },
  },
  features: {
    devInteractions: { enabled: false },
    revocation: { enabled: true },
    introspection: { enabled: true },
  },
  ttl: {
    AccessToken: () => state.tokenLifetime,
    AuthorizationCode: 60,
    IdToken: 3600,
    RefreshToken: () => state.refreshLifetime,
    Interaction: 600,
    Session: 3600,
    Grant: 14 * 86400,
  },
  rotateRefreshToken: true,
  async findAccount(ctx, id) {
    const user = options.users.find((u) => u.login === id);
    if (!user) return undefined;
    return { accountId: id, claims: async () => ({ sub: id, fhirUser: fhirUserOf(user), name: id }) };
  },
  interactions: { url: (ctx, interaction) => `/interaction/${interaction.uid}` },
  renderError(ctx, out) {
    ctx.type = 'html';
    ctx.body = page('Sign-in error', `<p id="error">${escape(out.error)}: ${escape(out.error_description ?? '')}</p>`);
  },
});
provider.on('grant.success', (ctx) => state.grants.push({ grant_type: ctx.oidc.params?.grant_type, ok: true }));
provider.on('grant.error', (ctx, error) => state.grants.push({ grant_type: ctx.oidc.params?.grant_type, ok: false, error: error.error, description: error.error_description }));
provider.use(async (ctx, next) => {
  await next();
  // A fault of the tests: the request is carried out, then the connection
  // drops before the answer.
  if (state.dropAfter?.count > 0 && ctx.path === state.dropAfter.path) {
    --state.dropAfter.count;
    ctx.respond = false;
    ctx.req.socket.destroy();
    return;
  }
  if (ctx.status === 200 && ctx.path === '/token/revocation') ++state.revocations;
  if (ctx.status === 200 && ctx.path === '/token/introspection') ++state.introspections;
});

// SMART servers grant offline_access on consent without the OpenID prompt
// "consent" in the request: the consent page below is always shown for it.
provider.use(async (ctx, next) => {
  if (ctx.path === '/auth' && (ctx.query.scope ?? '').split(' ').includes('offline_access') && !ctx.query.prompt)
    ctx.query = { ...ctx.query, prompt: 'consent' };
  await next();
});

// ---- the sign-in pages ----

function escape(s) {
  return String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
}

function page(title, body) {
  return `<!doctype html><html><head><meta charset="utf-8"><title>${escape(title)}</title>
<style>body{font-family:sans-serif;margin:3em auto;max-width:28em}label,input,button{display:block;margin:.4em 0}input{width:100%}</style>
</head><body><h1>Test EHR sign-in</h1>${body}</body></html>`;
}

function loginPage(uid, clientId, error) {
  return page('Sign in', `<p>Sign in to use <b>${escape(clientId)}</b>.</p>
${error ? `<p id="error" style="color:#a00">${escape(error)}</p>` : ''}
<form id="login" method="post" action="/interaction/${uid}/login" autocomplete="off">
<label for="username">User name</label><input id="username" name="login" required autofocus>
<label for="password">Password</label><input id="password" name="password" type="password" required>
<button id="submit" type="submit">Sign in</button></form>`);
}

function consentPage(uid, clientId, scopes) {
  return page('Allow access', `<p><b>${escape(clientId)}</b> asks to:</p><ul id="scopes">${scopes.map((s) => `<li>${escape(s)}</li>`).join('')}</ul>
<form id="consent" method="post" action="/interaction/${uid}/confirm"><button id="allow" type="submit">Allow</button></form>`);
}

async function readBody(req) {
  const chunks = [];
  let size = 0;
  for await (const c of req) {
    size += c.length;
    if (size > 16384) throw new Error('form too large');
    chunks.push(c);
  }
  return Buffer.concat(chunks).toString('utf8');
}

const readForm = async (req) => new URLSearchParams(await readBody(req));

function send(res, status, html) {
  res.writeHead(status, { 'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store' });
  res.end(html);
}

async function interaction(req, res, path) {
  const details = await provider.interactionDetails(req, res);
  const { uid, prompt, params } = details;
  const [, action] = path.split('/').slice(1);
  if (req.method === 'GET' && !action) {
    if (prompt.name === 'login') return send(res, 200, loginPage(uid, params.client_id));
    return send(res, 200, consentPage(uid, params.client_id, String(params.scope ?? '').split(' ')));
  }
  if (req.method === 'POST' && action === 'login' && prompt.name === 'login') {
    const form = await readForm(req);
    const user = options.users.find((u) => u.login === form.get('login') && u.password === form.get('password'));
    if (!user) {
      ++state.failedSignIns;
      return send(res, 200, loginPage(uid, params.client_id, 'The user name or password is wrong.'));
    }
    ++state.signIns;
    return provider.interactionFinished(req, res, { login: { accountId: user.login } }, { mergeWithLastSubmission: false });
  }
  if (req.method === 'POST' && action === 'confirm' && prompt.name === 'consent') {
    await readForm(req);
    const { details: missing } = prompt;
    const grant = details.grantId
      ? await provider.Grant.find(details.grantId)
      : new provider.Grant({ accountId: details.session.accountId, clientId: params.client_id });
    if (missing.missingOIDCScope) grant.addOIDCScope(missing.missingOIDCScope.join(' '));
    if (missing.missingOIDCClaims) grant.addOIDCClaims(missing.missingOIDCClaims);
    for (const [indicator, scopes] of Object.entries(missing.missingResourceScopes ?? {})) grant.addResourceScope(indicator, scopes.join(' '));
    const grantId = await grant.save();
    return provider.interactionFinished(req, res, { consent: { grantId } }, { mergeWithLastSubmission: true });
  }
  return send(res, 400, page('Sign-in error', '<p id="error">This step of the sign-in is not expected now.</p>'));
}

// ---- control ----

async function control(req, res, path) {
  let status = 200;
  let body = {};
  if (req.method === 'GET' && path === 'state') {
    body = {
      sign_ins: state.signIns,
      failed_sign_ins: state.failedSignIns,
      grants: state.grants,
      revocations: state.revocations,
      introspections: state.introspections,
      refresh_tokens: stores.get('RefreshToken')?.size ?? 0,
    };
  } else if (req.method === 'POST' && path === 'revoke-all') {
    for (const model of ['AccessToken', 'RefreshToken', 'AuthorizationCode', 'Grant', 'Session']) stores.get(model)?.clear();
  } else if (req.method === 'POST' && path === 'faults') {
    // {"drop_after_handling": "/token", "count": 1}
    const input = JSON.parse((await readBody(req)) || '{}');
    state.dropAfter = { path: input.drop_after_handling, count: input.count ?? 1 };
  } else if (req.method === 'POST' && path === 'settings') {
    const input = JSON.parse((await readBody(req)) || '{}');
    if (input.token_lifetime !== undefined) state.tokenLifetime = input.token_lifetime;
    if (input.refresh_lifetime !== undefined) state.refreshLifetime = input.refresh_lifetime;
  } else {
    status = 404;
  }
  res.writeHead(status, { 'Content-Type': 'application/json' });
  res.end(JSON.stringify(body));
}

// ---- HTTP ----

const callback = provider.callback();
server.on('request', async (req, res) => {
  const hostName = (req.headers.host ?? '').replace(/:\d+$/, '');
  if (!['127.0.0.1', 'localhost', '[::1]'].includes(hostName)) return send(res, 421, 'this server answers for this computer only');
  const path = new URL(req.url, issuer).pathname;
  try {
    if (path.startsWith('/control/')) return await control(req, res, path.slice('/control/'.length));
    if (path.startsWith('/interaction/')) return await interaction(req, res, path.slice('/interaction'.length));
  } catch (e) {
    return send(res, 400, page('Sign-in error', `<p id="error">${escape(e?.message ?? e)}</p>`));
  }
  return callback(req, res);
});

process.stdout.write(`oidc-server listening on ${issuer}/\n`);
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => server.close(() => process.exit(0)));
