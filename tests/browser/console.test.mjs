// The relay console in headless Chromium against vantrelRelaySim, for what only a browser shows (the rules behind
// it are the node tests' in tests/console): nothing sent before a board is chosen, the forms drawn, the node graph
// (drawn, reached with Tab, opened with Enter, redrawn when saved, a missing node, 100 nodes timed), live values,
// a refused, a cancelled and a timed complete write, one-button flashing cancelled and complete, the traffic
// log's filters, axe-core in the light and dark themes, screenshots, a relay that goes away and comes back; then
// the page over https with -s; then a page of another origin that opens the relay's WebSocket, with and without -o;
// then the console and a page under a host name made to point at this machine.
//
// Environment: VANTREL_SIMULATOR (the vantrelRelaySim binary), VANTREL_REPO_ROOT (for mount-origin),
// CHROMIUM (default /usr/bin/chromium), VANTREL_CONSOLE_SCREENSHOT (default console.png; console-graph.png and
// console-flash.png are written beside it).

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

// Clicks a button that asks first, and answers the question.
async function clickConfirmed(page, selector, answer) {
    await page.click(selector);
    await page.click(answer ? '#confirm-yes' : '#confirm-no');
}

// axe-core in the page; returns the critical and serious violations as "id: target" texts.
async function seriousViolations(page) {
    await page.addScriptTag({ path: path.join(repoRoot, 'tests/browser/node_modules/axe-core/axe.min.js') });
    const violations = await page.evaluate(async () => (await window.axe.run(document)).violations
        .filter((violation) => ['critical', 'serious'].includes(violation.impact))
        .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target.join(' ')).join(', ')}`));
    return violations;
}

const logLines = (page) => page.$$eval('#traffic-log li', (items) => items.map((item) => item.textContent));

// The traffic log is drawn at the next animation frame: what a check expects of it may take a moment to show.
async function eventually(read, accept, ms = 5000) {
    const deadline = Date.now() + ms;
    let value = await read();
    while (!accept(value) && Date.now() < deadline) {
        await new Promise((resolve) => setTimeout(resolve, 20));
        value = await read();
    }
    return value;
}

// Nodes sent to a board through a WebSocket of the page's own, as another editor would; the console takes the
// board back with its next command.
async function sendNodes(page, port, nodes, reset = false) {
    await page.evaluate(async ({ port, nodes, reset }) => {
        const socket = new WebSocket(`ws://${location.host}/`, 'vantrel-configurator');
        await new Promise((resolve) => { socket.onopen = resolve; });
        if (reset) socket.send(JSON.stringify({ port, payload: { resetConfig: 1 } }));
        for (const [id, type, properties] of nodes) {
            socket.send(JSON.stringify({ port, payload: { addNode: { id, type, editorPos: { x: 0, y: 0 }, properties } } }));
        }
        // Every node is acknowledged before the board answers the loop time.
        socket.send(JSON.stringify({ port, payload: { looptime: {} } }));
        await new Promise((resolve) => { socket.onmessage = (event) => { if (event.data.includes('"looptime"')) resolve(); }; });
        socket.close();
    }, { port, nodes, reset });
}

// A board of a dozen nodes: two sticks and a switch in, a scaled and mixed servo out, one input left dangling.
const ROBOT = [
    [1, 'analogin', { prop_pin: 0 }], [2, 'analogin', { prop_pin: 1 }], [3, 'digitalin', { prop_pin: 4 }],
    [4, 'constant', { prop_value: 0.5 }], [5, 'scale', { prop_source: '#1', prop_center: 0, prop_scale: '#4' }],
    [6, 'clamp', { prop_source: '#5', prop_rangeMin: -1, prop_rangeMax: 1 }],
    [7, 'mix', { prop_mix_source1: '#6', prop_mix_source2: '#2', prop_mix_weight1: 0.7, prop_mix_weight2: 0.3 }],
    [8, 'slew', { prop_source: '#7', prop_slew_rate_asc: 2, prop_slew_rate_desc: 2 }],
    [9, 'servopwmout', { prop_source: '#8', prop_pin: 9, prop_active: 1 }],
    [10, 'selector', { prop_selector_test: '#3', prop_selector_pass: '#6', prop_selector_fail: '#4' }],
    [11, 'dutypwmout', { prop_source: '#10', prop_pin: 10, prop_active: 1 }],
    [12, 'digitalout', { prop_source: '#3', prop_active: 1, prop_pin: 13 }],
    [13, 'invert', { prop_source: '#14' }],
];

// Inputs, mixers of two inputs each, and outputs: 100 nodes in three columns.
function hundredNodes() {
    const nodes = [];
    for (let id = 1; id <= 40; id++) nodes.push([id, 'analogin', { prop_pin: id }]);
    for (let id = 41; id <= 70; id++) nodes.push([id, 'mix', { prop_mix_source1: `#${id - 40}`, prop_mix_source2: `#${id - 30}` }]);
    for (let id = 71; id <= 100; id++) nodes.push([id, 'servopwmout', { prop_source: `#${id - 30}`, prop_pin: id - 70 }]);
    return nodes;
}

const graphNodes = (page) => page.$$eval('#node-graph .graph-node', (all) => all.map((node) => node.dataset.node));
const screenshotPath = (name) => path.join(path.dirname(process.env.VANTREL_CONSOLE_SCREENSHOT || 'console.png'), name);

async function exportBoard(page) {
    await page.click('#board-commands [data-command="exportConfig"]');
    await page.locator('#export-summary', { hasText: /^Export complete/ }).waitFor();
}

test('console on simulated boards', async () => {
    assert.ok(simulator && repoRoot, 'VANTREL_SIMULATOR and VANTREL_REPO_ROOT are set');
    // Boards that answer after 500 µs, so that a write lasts long enough to be watched and cancelled.
    await withRelayAndBrowser(['-d', '500'], { viewport: { width: 1280, height: 900 } }, async ({ workspace, relay, page }) => {
        const image = Buffer.alloc(100 * 1024);
        for (let index = 0; index < image.length; index++) image[index] = (index * 13) & 0xff;
        fs.writeFileSync(path.join(workspace.path, 'app.bin'), image);
        // Long enough to be watched and cancelled half-way.
        fs.writeFileSync(path.join(workspace.path, 'big.bin'), Buffer.alloc(600 * 1024, 0x5a));

        const pageErrors = [];
        page.on('pageerror', (error) => pageErrors.push(error.message));
        await page.goto(`http://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        assert.equal(await page.textContent('#server-version'), '0.1.3', 'relay version shown');
        assert.equal(await page.evaluate(async () => (await fetch('/favicon.ico')).status), 200, 'favicon served');
        await sleep(300);
        assert.equal((await page.$$('#traffic-log .log-out')).length, 0, 'nothing sent before the user chose a board');
        assert.ok(!relay.output().includes(': vantrel v'), 'no board asked on its own');

        await page.click('#port-list .port[data-port="simACM1"]');
        // The list is drawn at the next frame.
        await page.locator('#port-list .port[data-port="simACM1"][aria-pressed="true"]').waitFor();
        await page.click('#board-commands [data-command="getVersion"]');
        await page.locator('#board-version', { hasText: /^1\.4\.2$/ }).waitFor();
        assert.equal(await page.textContent('#board-serial'), '003600213338510937363532', 'serial of simACM1');
        assert.equal(await page.textContent('#board-flash'), '1024 KiB', 'flash size');

        // Typed node forms (their rules are the node tests'): defaults drawn, a refusal shown and nothing sent.
        const sentLines = async () => (await logLines(page)).filter((line) => line.includes('▶')).length;
        await page.selectOption('#node-type', 'constant');
        assert.equal(await page.inputValue('#node-fields [data-key="prop_value"]'), '0', 'constant value default');
        await page.fill('#node-id', '9');
        await page.fill('#node-fields [data-key="prop_value"]', 'abc');
        const sent = await sentLines();
        await page.click('#add-node');
        await page.locator('#node-form-error', { hasText: 'must be a number or #RRGGBB' }).waitFor();
        await page.fill('#node-fields [data-key="prop_value"]', '2.5');
        await page.click('#add-node');
        await page.locator('#status', { hasText: 'node 9 (constant) sent' }).waitFor();
        assert.equal(await eventually(sentLines, (count) => count > sent), sent + 1, 'only the valid node sent');
        await page.selectOption('#node-type', 'analogin');
        assert.equal(await page.inputValue('#node-fields [data-key="prop_calib_mid"]'), '-1', 'analogin default');
        await page.fill('#node-id', '10');
        await page.fill('#node-fields [data-key="prop_pin"]', '3');
        await page.click('#add-node');
        await page.selectOption('#node-type', 'scale');
        await page.fill('#node-id', '11');
        await page.fill('#node-fields [data-key="prop_source"]', '#10');
        await page.click('#add-node');
        await exportBoard(page);
        const rows = await page.$$eval('#export-table tr', (all) => all.map((row) => [...row.cells].map((cell) => cell.textContent)));
        for (const [id, type] of [['9', 'constant'], ['10', 'analogin'], ['11', 'scale']]) {
            assert.ok(rows.some((row) => row[0] === 'node' && row[1] === id && row[2] === type), `node ${id} exported: ${rows}`);
        }
        assert.ok(rows.some((row) => row[1] === '11' && row[3].includes('"prop_source":"#10"')), 'scale reads node 10');

        // The graph: node 10 left of the scale that reads it, every node reached with Tab, Enter opens its form, and
        // saving it redraws the graph.
        assert.deepEqual((await graphNodes(page)).sort(), ['10', '11', '9'], 'the exported nodes drawn');
        const edge = await page.$eval('#node-graph .graph-edge', (line) => line.querySelector('title').textContent);
        assert.equal(edge, 'prop_source of node 11');
        await page.focus('#node-graph .graph-node');
        const reached = [];
        for (let press = 0; press < 3; press++) {
            reached.push(await page.evaluate(() => document.activeElement.dataset.node));
            await page.keyboard.press('Tab');
        }
        assert.deepEqual(reached.sort(), ['10', '11', '9'], 'every node reached with Tab');
        await page.focus('#node-graph [data-node="11"]');
        await page.keyboard.press('Enter');
        await page.locator('#add-node', { hasText: 'Save node 11' }).waitFor();
        assert.equal(await page.inputValue('#node-type'), 'scale');
        assert.equal(await page.inputValue('#node-fields [data-key="prop_source"]'), '#10');
        assert.equal(await page.evaluate(() => document.activeElement.dataset.key), 'prop_source', 'the form has the focus');
        await page.fill('#node-fields [data-key="prop_center"]', '0.25');
        await page.click('#add-node');
        await page.locator('#node-graph [data-node="11"]', { hasText: 'center 0.25' }).waitFor();

        // A feature, live values with their chart, and a tweak.
        await page.selectOption('#feature-name', 'dutypwm');
        await page.fill('#feature-fields [data-key="frequency"]', '50');
        await page.click('#set-feature');
        await page.locator('#status', { hasText: 'feature dutypwm sent' }).waitFor();
        await page.fill('#live-id', '7');
        await page.click('#live-watch');
        await page.locator('#live-value', { hasText: /^node 7: -?[0-9]/ }).waitFor();
        await page.waitForFunction(() => document.getElementById('live-line').getAttribute('points').split(' ').length >= 3);
        await page.click('#live-stop');
        await page.fill('#tweak-id', '9');
        await page.fill('#tweak-value', '#ff0000');
        await page.click('#tweak-send');
        await page.locator('#status', { hasText: 'tweak of node 9 input 0 sent' }).waitFor();

        // Reset asks first; declined, nothing is sent (counted once what was sent before has been drawn).
        const beforeReset = await eventually(sentLines, () => false, 300);
        await clickConfirmed(page, '#board-commands [data-command="resetConfig"]', false);
        await page.locator('#status', { hasText: 'reset not sent' }).waitFor();
        assert.equal(await sentLines(), beforeReset, 'a declined reset sends nothing');

        // The expert's single steps: refused (application running), cancelled, then a whole write timed against the
        // relay's own figure.
        await page.click('#firmware-panel details summary');
        await page.selectOption('#firmware-file', 'big.bin');
        await clickConfirmed(page, '#write-button', true);
        await page.locator('#firmware-message', { hasText: 'bootloader first' }).waitFor();
        assert.equal(await page.textContent('#write-stage'), 'Failed.');
        await page.click('#board-commands [data-command="bootloader"]');
        await page.locator('#board-mode', { hasText: /^bootloader$/ }).waitFor();
        await clickConfirmed(page, '#write-button', true);
        await page.waitForFunction(() => document.getElementById('write-progress').value > 1);
        for (const selector of ['#flash-button', '#write-button', '#board-commands [data-command="resetConfig"]']) {
            assert.ok(await page.isDisabled(selector), `${selector} disabled while writing`);
        }
        assert.match(await page.textContent('#write-figures'), /KiB verified · [0-9.]+ KiB\/s · about [0-9]+ s left/);
        await page.click('#flash-cancel');
        await page.locator('#write-stage', { hasText: /^Cancelled\.$/ }).waitFor();
        await page.locator('#port-list .port[data-port="simACM1"]', { hasText: 'firmware write cancelled' }).waitFor();

        const relayLogBefore = relay.output().length;
        await page.selectOption('#firmware-file', 'app.bin');
        await page.click('#write-button');
        const clicked = Date.now();
        await page.click('#confirm-yes');
        await page.waitForFunction(() => document.getElementById('write-stage').dataset.stage === 'done',
            null, { timeout: 60000, polling: 'raf' });
        const pageSeconds = (Date.now() - clicked) / 1000;
        const relayLine = relay.output().slice(relayLogBefore).match(/simACM1: Firmware write of app\.bin completed in ([0-9.]+) s/);
        assert.ok(relayLine, 'the relay logged the end of the write');
        const relaySeconds = Number(relayLine[1]);
        console.log(`100 KiB write: relay ${relaySeconds.toFixed(1)} s, page done after ${pageSeconds.toFixed(2)} s`);
        // The relay's figure has one decimal: half a tenth is its rounding.
        assert.ok(pageSeconds <= 1.2 * (relaySeconds + 0.05), `page ${pageSeconds} s within 1.2 × relay ${relaySeconds} s`);
        assert.equal(await page.textContent('#firmware-message'), 'Firmware written.');
        await page.locator('#port-list .port[data-port="simACM1"]', { hasText: 'firmware written' }).waitFor();
        await page.click('#start-application');
        await page.locator('#board-mode', { hasText: /^application$/ }).waitFor();

        // One button: every stage shown, cancelled in the write, then from the application to the new version.
        const stages = () => page.$$eval('#flash-stages li', (all) => all.map((item) => item.dataset.state).join(' '));
        await page.selectOption('#firmware-file', 'big.bin');
        await clickConfirmed(page, '#flash-button', true);
        await page.locator('#flash-stages li[data-stage="write"][data-state="running"]').waitFor();
        await page.waitForFunction(() => document.getElementById('write-progress').value > 20);
        assert.equal(await stages(), 'done done done running waiting waiting waiting', 'stages while writing');
        await page.locator('#firmware-panel').screenshot({ path: screenshotPath('console-flash.png') });
        await page.click('#flash-cancel');
        await page.locator('#firmware-message', { hasText: 'Flashing cancelled. The board stays in its bootloader with an incomplete image' }).waitFor();
        await page.selectOption('#firmware-file', 'app.bin');
        await clickConfirmed(page, '#flash-button', true);
        await page.locator('#firmware-message', { hasText: /^Flashed app\.bin\.$/ }).waitFor({ timeout: 60000 });
        assert.equal(await stages(), 'done done skipped done done done done', 'the board was left in its bootloader');
        assert.equal(await page.textContent('#board-mode'), 'application');
        await page.evaluate(() => window.scrollTo(0, 0));
        await page.screenshot({ path: process.env.VANTREL_CONSOLE_SCREENSHOT || 'console.png' });

        // The log: one updated line per write instead of one per progress reply; filters that hide all say so.
        const lines = await logLines(page);
        assert.equal(lines.filter((line) => line.includes('firmware progress')).length, 4, 'one progress line per write');
        assert.ok(!lines.some((line) => line.includes('"romWrite"')), 'no progress reply logged on its own');
        await page.selectOption('#log-direction', 'out');
        await page.fill('#log-filter', 'no-such-text');
        await page.locator('#traffic-log', { hasText: 'No matches for these filters.' }).waitFor();
        await page.fill('#log-filter', '');
        await page.selectOption('#log-direction', '');
        const download = page.waitForEvent('download');
        await page.click('#log-download');
        assert.match(fs.readFileSync(await (await download).path(), 'utf8'), /\tin\tsimACM1\t\{"port":"simACM1","romFinish":1\}/);

        // A board of a dozen nodes, one of them reading a node the board lacks.
        await sendNodes(page, 'simACM0', ROBOT);
        await page.click('#port-list .port[data-port="simACM0"]');
        await exportBoard(page);
        assert.equal((await graphNodes(page)).length, ROBOT.length + 1, 'every node and the missing one drawn');
        assert.equal(await page.$eval('#node-graph .graph-node.missing', (node) => node.getAttribute('aria-label')),
            '#14 missing: referenced but not on the board');
        assert.equal((await page.$$('#node-graph .graph-edge.broken')).length, 1, 'one broken reference');
        await page.locator('#graph-panel').screenshot({ path: screenshotPath('console-graph.png') });

        const light = await seriousViolations(page);
        console.log(`axe-core, light theme: ${light.length} critical or serious violations ${light.join('; ')}`);
        assert.deepEqual(light, [], 'no critical or serious accessibility violations (light)');

        await page.emulateMedia({ colorScheme: 'dark' });
        const background = await page.evaluate(() => getComputedStyle(document.querySelector('.panel')).backgroundColor);
        const [red, green, blue] = background.match(/[0-9]+/g).map(Number);
        assert.ok(red + green + blue < 150, `dark panels follow the system setting: ${background}`);
        const dark = await seriousViolations(page);
        console.log(`axe-core, dark theme: ${dark.length} critical or serious violations ${dark.join('; ')}`);
        assert.deepEqual(dark, [], 'no critical or serious accessibility violations (dark)');
        await page.emulateMedia({ colorScheme: 'light' });

        // 100 nodes: how long the graph takes to draw, and that it fits the page's width.
        await sendNodes(page, 'simACM0', hundredNodes(), true);
        await exportBoard(page);
        await page.waitForFunction(() => document.getElementById('node-graph').dataset.nodes === '100');
        const drawn = await page.$eval('#node-graph', (svg) => ({ ms: Number(svg.dataset.drawMs), width: svg.getBoundingClientRect().width }));
        console.log(`node graph of 100 nodes drawn in ${drawn.ms} ms, ${Math.round(drawn.width)} px wide`);
        assert.ok(drawn.width <= 1280, `the graph of 100 nodes fits the page: ${drawn.width} px`);

        // The relay goes away and comes back: the board's facts are marked stale, then asked again.
        await page.click('#port-list .port[data-port="simACM1"]');
        assert.equal(await relay.stop(), 0, 'simulator exit status after SIGINT');
        await page.locator('#board-version', { hasText: '(stale)' }).waitFor();
        const again = await startSimulator([], workspace.path, relay.port);
        try {
            await expectConnected(page);
            await page.locator('#board-version', { hasText: /^1\.4\.2$/ }).waitFor();
            const attempts = (await logLines(page)).filter((line) => line.includes('reconnect attempt'));
            assert.ok(attempts.length >= 1 && attempts.length <= 4, `one line per reconnect attempt: ${attempts}`);
        } finally {
            assert.equal(await again.stop(), 0, 'second simulator exit status');
        }
        assert.deepEqual(pageErrors, [], 'no error in the page');
    });
});

// A board whose port may not be opened: the page says why and what to do, instead of waiting.
test('a board that cannot be opened shows the reason', async () => {
    await withRelayAndBrowser(['-u', '1'], {}, async ({ relay, page }) => {
        await page.goto(`http://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        await page.click('#port-list .port[data-port="simACM1"]');
        await page.click('#board-commands [data-command="getVersion"]');
        await page.locator('#status', { hasText: /simACM1: the board cannot be reached: .*dialout group/ }).waitFor();
    });
});

// An image of the user's computer, chosen with the file picker and sent by the page, is flashed like a listed file.
test('an image from this computer is flashed', async () => {
    await withRelayAndBrowser([], {}, async ({ workspace, relay, page }) => {
        await page.goto(`http://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        await page.click('#port-list .port[data-port="simACM0"]');
        const image = Buffer.alloc(8 * 1024);
        for (let index = 0; index < image.length; index++) image[index] = (index * 31) & 0xff;
        await page.setInputFiles('#firmware-upload', { name: 'mine.bin', mimeType: 'application/octet-stream', buffer: image });
        await page.locator('#firmware-file option[value="local:mine.bin"]').waitFor({ state: 'attached' });
        await clickConfirmed(page, '#flash-button', true);
        await page.locator('#firmware-message', { hasText: /^Flashed mine\.bin\.$/ }).waitFor({ timeout: 60000 });
        assert.ok(!fs.existsSync(path.join(workspace.path, 'mine.bin')), 'the image is not left in the relay\'s folder');
        assert.match(relay.output(), /simACM0: Writing firmware mine\.bin \(8192 bytes\)/);
    });
});

// A board's configuration saved from one board and restored on the other: the file's differences shown first, the
// restore checked by a new export.
test('backup and restore of a configuration', async () => {
    await withRelayAndBrowser([], { acceptDownloads: true }, async ({ relay, page }) => {
        await page.goto(`http://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        // Nodes of kinds whose export differs from their command: a reference, a mapping, a strobe pattern.
        await page.evaluate(async (port) => {
            const socket = new WebSocket(`ws://127.0.0.1:${port}/`, 'vantrel-configurator');
            await new Promise((resolve) => { socket.onopen = resolve; });
            const nodes = [
                { id: 1, type: 'constant', editorPos: { x: 10, y: 20 }, properties: { prop_value: 2.5 } },
                { id: 2, type: 'clamp', properties: { prop_source: '#1', prop_rangeMin: -1, prop_rangeMax: 3 } },
                { id: 3, type: 'mapping', properties: { prop_source: '#2', points: [0, 0, 0.5, 0.8, 1, 1], miny: 0, maxy: 1 } },
                { id: 4, type: 'strobe', properties: { prop_source: '#3', prop_flags1: 5, prop_flags2: -1 } },
            ];
            for (const node of nodes) socket.send(JSON.stringify({ port: 'simACM0', payload: { addNode: node } }));
            await new Promise((resolve) => setTimeout(resolve, 300));
            socket.close();
        }, relay.port);
        await page.click('#port-list .port[data-port="simACM0"]');
        const saved = page.waitForEvent('download');
        await page.click('#backup-button');
        const download = await saved;
        const text = fs.readFileSync(await download.path(), 'utf8');
        assert.match(text, /"format": "vantrel-configuration"/);
        assert.equal((text.match(/"id":/g) || []).length, 4, text);

        await page.click('#port-list .port[data-port="simACM1"]');
        await page.setInputFiles('#restore-file', { name: 'robot.json', mimeType: 'application/json', buffer: Buffer.from(text) });
        await page.locator('#configuration-summary', { hasText: /robot\.json would change 4 thing/ }).waitFor();
        assert.equal(await page.locator('#configuration-diff li').count(), 4);
        await page.locator('#configuration-panel').screenshot({ path: screenshotPath('console-restore.png') });
        await clickConfirmed(page, '#restore-button', true);
        await page.locator('#status', { hasText: /simACM1: restored robot\.json exactly/ }).waitFor();
    });
});

// With -o naming someone else, the relay's own page is still let in.
test('console over https with -s and -o', async () => {
    const args = ['-s', '-o', 'https://editor.example'];
    await withRelayAndBrowser(args, { ignoreHTTPSErrors: true }, async ({ relay, page }) => {
        await page.goto(`https://127.0.0.1:${relay.port}/`);
        await expectConnected(page);
        await expectBoardsListed(page);
        await page.click('#port-list .port[data-port="simACM0"]');
        await page.click('#board-commands [data-command="getVersion"]');
        await page.locator('#board-version', { hasText: /^1\.4\.2$/ }).waitFor();
        assert.equal(await relay.stop(), 0, 'simulator exit status after SIGINT');
    });
});

// A page served from another loopback port that opens the relay's WebSocket and records what happened.
function foreignPageServer(relayPort, relayHost = '127.0.0.1') {
    const page = `<!doctype html><title>foreign</title><script>
        const socket = new WebSocket('ws://${relayHost}:${relayPort}/', 'vantrel-configurator');
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
    [[], 'refused'],
    [['-o', 'https://editor.example'], 'refused'],
    [['-o', 'https://editor.example', '-o', '{page}'], 'greeted {"server":"0.1.3"}'],
];

for (const [originArgs, expected] of FOREIGN_ORIGIN_ROWS) {
    test(`a page of another origin with ${originArgs.join(' ') || 'no -o'}: ${expected.split(' ')[0]}`, async () => {
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

// A name made to point at this machine (DNS rebinding): neither the console nor the WebSocket answers to it.
test('a rebound host name is refused', async () => {
    const relayPort = await freePort();
    const server = await foreignPageServer(relayPort, 'attacker.example');
    const browserOptions = { args: [...CHROMIUM_FLAGS, '--host-resolver-rules=MAP attacker.example 127.0.0.1'] };
    try {
        await withRelayAndBrowser([], browserOptions, async ({ relay, page }) => {
            const console = await page.goto(`http://attacker.example:${relayPort}/`);
            assert.equal(console.status(), 403, 'the console under a rebound name');
            await page.goto(`http://attacker.example:${server.address().port}/`);
            const outcome = await page.waitForFunction(() => window.outcome);
            assert.equal(await outcome.jsonValue(), 'refused', 'what the rebound page saw');
            const refusals = relay.output().split('\n').filter((line) => line.includes('for host attacker.example'));
            assert.ok(refusals.length >= 2, `the console and the WebSocket refused: ${refusals}`);
        }, relayPort);
    } finally {
        server.close();
    }
});
