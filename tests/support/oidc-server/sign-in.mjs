#!/usr/bin/env node
// Plays the clinician in a real browser: opens URL (an EHR sign-in page) in
// Debian's Chromium, headless, with a fresh profile, types the user name and
// password into the sign-in page of server.mjs, submits it, allows access
// on the consent page, and waits until the browser has been sent back to a
// loopback /callback (or an error page shows). Chromium is driven through
// the DevTools protocol over a pipe (--remote-debugging-pipe); no other
// package is needed.
//
//   node sign-in.mjs [--user LOGIN] [--password PASSWORD] [--timeout S] URL
//
// Prints "callback <url>" (exit 0) or "error <text>" (exit 3) on stdout, and
// "sign-in took <ms> ms" on stderr. Usable as KELVRA_BROWSER.

import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const args = process.argv.slice(2);
const options = { user: 'dr.lee', password: 'capture', timeout: 90, url: '' };
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '--user') options.user = args[++i];
  else if (args[i] === '--password') options.password = args[++i];
  else if (args[i] === '--timeout') options.timeout = Number(args[++i]);
  else options.url = args[i];
}
if (!options.url) {
  process.stderr.write('usage: sign-in.mjs [--user LOGIN] [--password PASSWORD] URL\n');
  process.exit(2);
}

const profile = mkdtempSync(join(tmpdir(), 'kelvra-chromium-'));
const chromium = spawn(
  process.env.KELVRA_CHROMIUM ?? 'chromium',
  ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`, '--remote-debugging-pipe', 'about:blank'],
  { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] }
);
const [, , , toBrowser, fromBrowser] = chromium.stdio;
// A browser that ends takes its pipes with it: nothing more to say then.
toBrowser.on('error', () => {});
fromBrowser.on('error', () => {});

let finished = false;
// The browser's helper processes may still write into the profile for a
// moment after the browser itself has ended: removing it is tried again, and
// a profile that stays never changes the sign-in's own outcome.
const removeProfile = () => {
  try {
    rmSync(profile, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
  } catch (e) {
    process.stderr.write(`the browser profile ${profile} stays: ${e.message}\n`);
  }
};
function finish(code, line) {
  if (finished) return;
  finished = true;
  process.exitCode = code;
  process.stdout.write(`${line}\n`);
  process.stderr.write(`sign-in took ${Date.now() - started} ms\n`);
  if (chromium.exitCode !== null || chromium.signalCode !== null) return removeProfile();
  chromium.once('exit', removeProfile);
  chromium.kill('SIGTERM');
  setTimeout(() => chromium.kill('SIGKILL'), 5000).unref();
}
chromium.on('exit', () => finish(4, 'error the browser ended'));
chromium.on('error', (e) => finish(4, `error the browser could not start: ${e.message}`));

// ---- the DevTools protocol: JSON messages ended by NUL ----

let nextId = 0;
const waiting = new Map();
let buffer = Buffer.alloc(0);
fromBrowser.on('data', (chunk) => {
  buffer = Buffer.concat([buffer, chunk]);
  let end;
  while ((end = buffer.indexOf(0)) >= 0) {
    const message = JSON.parse(buffer.subarray(0, end).toString('utf8'));
    buffer = buffer.subarray(end + 1);
    const w = waiting.get(message.id);
    if (w) {
      waiting.delete(message.id);
      if (message.error) w.reject(new Error(message.error.message));
      else w.resolve(message.result);
    }
  }
});
function call(method, params = {}, sessionId = undefined) {
  const id = ++nextId;
  toBrowser.write(JSON.stringify({ id, method, params, ...(sessionId ? { sessionId } : {}) }) + '\0');
  return new Promise((resolve, reject) => waiting.set(id, { resolve, reject }));
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const started = Date.now();
setTimeout(() => finish(5, 'error the sign-in was not finished in time'), options.timeout * 1000).unref();

// ---- the clinician ----

const { targetId } = await call('Target.createTarget', { url: 'about:blank' });
const { sessionId } = await call('Target.attachToTarget', { targetId, flatten: true });
const page = (method, params) => call(method, params, sessionId);
const evaluate = async (expression) => (await page('Runtime.evaluate', { expression, returnByValue: true })).result.value;
await page('Page.enable');
await page('Page.navigate', { url: options.url });

async function click(selector) {
  const box = await evaluate(`(() => { const r = document.querySelector(${JSON.stringify(selector)}).getBoundingClientRect();
    return { x: r.x + r.width / 2, y: r.y + r.height / 2 }; })()`);
  for (const type of ['mouseMoved', 'mousePressed', 'mouseReleased'])
    await page('Input.dispatchMouseEvent', { type, x: box.x, y: box.y, button: 'left', clickCount: 1 });
}

async function type(selector, text) {
  await click(selector);
  for (const ch of text) await page('Input.dispatchKeyEvent', { type: 'char', text: ch });
}

let lastStep = '';
while (!finished) {
  await sleep(100);
  let view;
  try {
    view = await evaluate(`({ href: location.href, ready: document.readyState,
      login: !!document.querySelector('#username'), allow: !!document.querySelector('#allow'),
      error: document.querySelector('#error')?.textContent ?? '', done: !!document.querySelector('#done') })`);
  } catch {
    continue; // between pages
  }
  if (!view || view.ready !== 'complete') continue;
  const url = new URL(view.href);
  if (url.hostname === '127.0.0.1' && url.pathname === '/callback') {
    finish(0, `callback ${view.href}`);
    break;
  }
  const step = `${view.href} ${view.login} ${view.allow} ${view.error}`;
  if (step === lastStep) continue; // the page has not changed yet
  if (view.login && view.error) {
    finish(3, `error ${view.error}`);
  } else if (view.login) {
    lastStep = step;
    await type('#username', options.user);
    await type('#password', options.password);
    await click('#submit');
  } else if (view.allow) {
    lastStep = step;
    await click('#allow');
  } else if (view.error) {
    finish(3, `error ${view.error}`);
  }
}
