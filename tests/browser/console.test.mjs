// The relay console in headless Chromium against vantrelRelaySim: boards listed, a version shown, a node added
// and exported, a refused and a complete firmware write, a reload that reconnects, a screenshot; then the page
// over https with -s; then a page of another origin that opens the relay's WebSocket, with and without -o.
//
// Environment: VANTREL_SIMULATOR (the vantrelRelaySim binary), VANTREL_REPO_ROOT (for mount-origin),
// CHROMIUM (default /usr/bin/chromium), VANTREL_CONSOLE_SCREENSHOT (default console.png).

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const WAIT_MS = 15000;
const CHROMIUM_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run'];
const BOARDS = ['simACM0vantrel board (simulated 1)', 'simACM1vantrel board (simulated 2)'];

const simulator = process.env.VANTREL_SIMULATOR;
const repoRoot = process.env.VANTREL_REPO_ROOT;
const executablePath = process.env.CHROMIUM || '/usr/bin/chromium';

function freePort() {
    return new Promise((resolve, reject) => {
        const probe = net.createServer();
        probe.once('error', reject);
        probe.listen(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

function acceptsConnections(port) {
    return new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port });
        socket.setTimeout(500);
        socket.once('connect', () => { socket.destroy(); resolve(true); });
        socket.once('error', () => resolve(false));
        socket.once('timeout', () => { socket.destroy(); resolve(false); });
    });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The promise's value, or onTimeout when it takes longer than ms; the timer never outlives the race.
async function within(promise, ms, onTimeout) {
    let timer;
    const expiry = new Promise((resolve) => { timer = setTimeout(() => resolve(onTimeout), ms); });
    try {
        return await Promise.race([promise, expiry]);
    } finally {
        clearTimeout(timer);
    }
}

// A temporary working directory with a copy of the console, removed by dispose().
function makeWorkspace() {
    const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-browser-test-'));
    fs.cpSync(path.join(repoRoot, 'mount-origin'), path.join(directory, 'mount-origin'), { recursive: true });
    return { path: directory, dispose: () => fs.rmSync(directory, { recursive: true, force: true }) };
}

// The simulator serving on the given port or a free one; stop() signals it and resolves to its exit status (null
// if it had to be killed).
async function startSimulator(args, cwd, chosenPort) {
    const port = chosenPort || await freePort();
    const child = spawn(simulator, ['-p', String(port), ...args], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    child.stdout.on('data', (chunk) => { output += chunk; });
    child.stderr.on('data', (chunk) => { output += chunk; });
    const exited = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
    let running = true;
    exited.then(() => { running = false; });

    const deadline = Date.now() + WAIT_MS;
    while (!(await acceptsConnections(port))) {
        if (!running || Date.now() > deadline) {
            child.kill('SIGKILL');
            throw new Error(`the simulator does not listen on ${port}: ${output}`);
        }
        await sleep(20);
    }
    return {
        port,
        output: () => output,
        async stop() {
            if (!running) return exited;
            child.kill('SIGINT');
            const status = await within(exited, WAIT_MS, 'timeout');
            if (status !== 'timeout') return status;
            child.kill('SIGKILL');
            await exited;
            return null;
        },
    };
}

// Chromium with a fresh profile of its own; close() ends it and removes the profile.
async function launchBrowser(options = {}) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-browser-profile-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath,
        headless: true,
        args: CHROMIUM_FLAGS,
        viewport: { width: 1400, height: 1000 },
        ...options,
    });
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(WAIT_MS);
    return {
        page,
        async close() {
            await context.close();
            fs.rmSync(profile, { recursive: true, force: true });
        },
    };
}

// Runs body with a workspace, a simulator and a browser, and always cleans all three up.
async function withRelayAndBrowser(simulatorArgs, browserOptions, body, port) {
    const workspace = makeWorkspace();
    let relay = null;
    let browser = null;
    try {
        relay = await startSimulator(simulatorArgs, workspace.path, port);
        browser = await launchBrowser(browserOptions);
        await body({ workspace, relay, page: browser.page });
    } finally {
        if (browser) await browser.close();
        if (relay) await relay.stop();
        workspace.dispose();
    }
}

async function expectBoardsListed(page) {
    await assert.doesNotReject(page.waitForFunction(
        (expected) => [...document.querySelectorAll('#port-list .port')].map((b) => b.textContent).join('|')
            === expected, BOARDS.join('|')), 'both simulated boards listed');
}

async function expectConnected(page) {
    await page.locator('#connection-state', { hasText: /^Connected$/ }).waitFor();
}

test('console on simulated boards', async () => {
    assert.ok(simulator && repoRoot, 'VANTREL_SIMULATOR and VANTREL_REPO_ROOT are set');
    await withRelayAndBrowser([], {}, async ({ workspace, relay, page }) => {
        const image = Buffer.alloc(2000);
        for (let index = 0; index < image.length; index++) image[index] = (index * 13) & 0xff;
        fs.writeFileSync(path.join(workspace.path, 'app.bin'), image);

        await page.goto(`http://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        assert.equal(await page.textContent('#server-version'), '0.1.3', 'relay version shown');

        await page.click('#port-list .port[data-port="simACM1"]');
        await page.click('#board-commands [data-command="getVersion"]');
        await page.locator('#board-version', { hasText: /^1\.4\.2$/ }).waitFor();
        assert.equal(await page.textContent('#board-name'), 'simACM1', 'chosen board');
        assert.equal(await page.textContent('#board-serial'), '003600213338510937363532', 'serial of simACM1');
        assert.equal(await page.textContent('#board-flash'), '1024 KiB', 'flash size');

        await page.waitForFunction(() => document.getElementById('node-type').options.length > 0);
        await page.selectOption('#node-type', 'constant');
        await page.fill('#node-id', '9');
        await page.fill('#node-properties', '{}');
        await page.click('#add-node-form button[type="submit"]');
        await page.click('#board-commands [data-command="exportConfig"]');
        await page.waitForFunction(() => [...document.querySelectorAll('#export-table tr')].some(
            (row) => row.cells[0].textContent === 'node' && row.cells[1].textContent === '9'
                && row.cells[2].textContent === 'constant'));
        await page.locator('#export-summary', { hasText: /^Export complete/ }).waitFor();

        await page.click('#flash-button');
        await page.locator('#firmware-message', { hasText: 'bootloader first' }).waitFor();
        await page.click('#board-commands [data-command="bootloader"]');
        await page.locator('#board-mode', { hasText: /^bootloader$/ }).waitFor();
        await page.click('#flash-button');
        await page.waitForFunction(() => document.getElementById('rom-write').value === 100
            && document.getElementById('rom-verify').value === 100);
        await page.locator('#firmware-message', { hasText: /^Firmware written\.$/ }).waitFor();

        await page.screenshot({ path: process.env.VANTREL_CONSOLE_SCREENSHOT || 'console.png' });

        await page.reload();
        await expectConnected(page);
        await expectBoardsListed(page);
        assert.equal(await relay.stop(), 0, 'simulator exit status after SIGINT');
    });
});

// With -o naming someone else, the relay's own page is still let in.
test('console over https with -s and -o', async () => {
    const args = ['-s', '-o', 'https://editor.example'];
    await withRelayAndBrowser(args, { ignoreHTTPSErrors: true }, async ({ relay, page }) => {
        await page.goto(`https://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        await page.locator('#board-version', { hasText: /^1\.4\.2$/ }).waitFor();
        assert.equal(await relay.stop(), 0, 'simulator exit status after SIGINT');
    });
});

// A page served from another loopback port that opens the relay's WebSocket and records what happened.
function foreignPageServer(relayPort) {
    const page = `<!doctype html><title>foreign</title><script>
        const socket = new WebSocket('ws://127.0.0.1:${relayPort}/', 'vantrel-configurator');
        socket.onmessage = (event) => { window.outcome = window.outcome || 'greeted ' + event.data; };
        socket.onclose = () => { window.outcome = window.outcome || 'refused'; };
        </script>`;
    const server = http.createServer((request, response) => {
        response.writeHead(200, { 'Content-Type': 'text/html' });
        response.end(page);
    });
    return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// [the -o the relay gets, with "{page}" for the foreign page's origin; what the page sees]
const FOREIGN_ORIGIN_ROWS = [
    [['-o', 'https://editor.example'], 'refused'],
    [['-o', 'https://editor.example', '-o', '{page}'], 'greeted {"server":"0.1.3"}'],
];

for (const [originArgs, expected] of FOREIGN_ORIGIN_ROWS) {
    test(`a page of another origin with ${originArgs.join(' ')}: ${expected.split(' ')[0]}`, async () => {
        const relayPort = await freePort();
        const server = await foreignPageServer(relayPort);
        const pageOrigin = `http://127.0.0.1:${server.address().port}`;
        const args = originArgs.map((arg) => arg.replace('{page}', pageOrigin));
        try {
            await withRelayAndBrowser(args, {}, async ({ relay, page }) => {
                await page.goto(`${pageOrigin}/`);
                const outcome = await page.waitForFunction(() => window.outcome);
                assert.equal(await outcome.jsonValue(), expected, 'what the foreign page saw');
                const refusals = relay.output().split('\n').filter((line) => line.includes('is not allowed (-o)'));
                assert.equal(refusals.length, expected === 'refused' ? 1 : 0, `refusal lines: ${refusals}`);
            }, relayPort);
        } finally {
            server.close();
        }
    });
}
