// The browser page in headless Chromium, served from 127.0.0.1: its images,
// messages and reports against the native programs', and that it asks for
// nothing outside its own origin.
//
//   node page_test.js --page DIR --velmora BIN --inspect BIN --examples DIR --work DIR
//   node page_test.js --page DIR --work DIR --bench CAPTURE [--runs N] [--version V] [--settle MS]
//
// Exits 77 (skipped) when Chromium or playwright-core is missing. With
// --bench it converts CAPTURE in the page N times (with --settle, once the
// page's worker is ready and MS milliseconds more, as when a person chooses
// the file; else at once) and prints each run's time
// in the worker, the module's memory and where the image was kept (a private
// file or memory), one line each.
'use strict';

const assert = require('node:assert/strict');
const child_process = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const url = require('node:url');

const skip_status = 77;

function parse_arguments(argv) {
  const options = {runs: '5', version: '2'};
  for (let i = 0; i < argv.length; i += 2) {
    assert.ok(argv[i].startsWith('--') && i + 1 < argv.length, `bad argument ${argv[i]}`);
    options[argv[i].slice(2)] = argv[i + 1];
  }
  return options;
}

function skip(reason) {
  console.log(`SKIP: ${reason}`);
  process.exit(skip_status);
}

const content_types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm',
};

// Serves the page's folder, and nothing above it, on an ephemeral port.
function serve(folder, served) {
  const server = http.createServer((request, response) => {
    const pathname = decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
    served.push(pathname);
    const file = path.join(folder, pathname === '/' ? 'index.html' : pathname);
    if (!file.startsWith(folder + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404);
      response.end();
      return;
    }
    response.writeHead(200, {'Content-Type': content_types[path.extname(file)] || 'application/octet-stream'});
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// `extra` are further command-line arguments of Chromium.
async function open_browser(options, extra = []) {
  let playwright;
  try {
    playwright = require('playwright-core');
  } catch (error) {
    skip('playwright-core is missing: run `npm ci` in tests/web');
  }
  const chromium = process.env.VELMORA_CHROMIUM || '/usr/bin/chromium';
  if (!fs.existsSync(chromium)) {
    skip(`no Chromium at ${chromium} (set VELMORA_CHROMIUM)`);
  }
  const profile = fs.mkdtempSync(path.join(options.work, 'chromium-profile-'));
  // A new, empty profile (Playwright passes it as --user-data-dir).
  const context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: chromium,
    headless: true,
    acceptDownloads: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync', ...extra],
  });
  return {context, profile};
}

// Runs `job` ('convert' or 'inspect') on the file given (a path, or
// {name, buffer}) and waits until the page is idle again.
async function run_job(page, file, job, version) {
  await page.setInputFiles('#file-input', file);
  await page.check(`input[name="version"][value="${version}"]`);
  await page.click(job === 'convert' ? '#convert' : '#inspect');
  await page.waitForSelector('body[data-state="idle"]');
}

async function downloaded(page, work, name, link = '#download') {
  const [download] = await Promise.all([page.waitForEvent('download'), page.click(link)]);
  // null: a name the browser changes (it replaces characters file systems reserve)
  if (name !== null) {
    assert.equal(download.suggestedFilename(), name);
  }
  const saved = path.join(work, `page-${name ?? 'download'}`);
  await download.saveAs(saved);
  return fs.readFileSync(saved);
}

// velmora's run on `input` from its folder, so that messages name it as the
// page does: its image (if any), exit status and texts without the banner.
function native_conversion(velmora, input, version) {
  const output = path.join(path.dirname(input), `native-${process.pid}.tap`);
  fs.rmSync(output, {force: true});
  const run = child_process.spawnSync(velmora, [path.basename(input), path.basename(output), String(version)],
    {cwd: path.dirname(input), encoding: 'latin1'});
  const image = fs.existsSync(output) ? fs.readFileSync(output) : null;
  fs.rmSync(output, {force: true});
  const banner_end = run.stdout.indexOf('\n\n') + 2;
  return {status: run.status, image, texts: run.stdout.slice(banner_end) + run.stderr};
}

// velmora-inspect's output on `input` from its folder; its exit status is
// left in native_inspection.status.
function native_inspection(inspect, input, version, extra) {
  const run = child_process.spawnSync(inspect, ['--tap-version', String(version), ...extra, path.basename(input)],
    {cwd: path.dirname(input), encoding: 'utf8'});
  assert.equal(run.stderr, '', `velmora-inspect ${extra.join(' ')} ${input}`);
  native_inspection.status = run.status;
  return run.stdout;
}

async function test_page(page, options) {
  const work = options.work;
  const demo = path.join(work, 'demo.ctf');
  const demo_image = path.join(work, 'demo.tap');
  fs.copyFileSync(path.join(options.examples, 'demo.ctf'), demo);
  fs.copyFileSync(path.join(options.examples, 'demo.tap'), demo_image);
  const hello = path.join(work, 'hello-rom.ctf');
  fs.copyFileSync(path.join(options.examples, 'hello-rom.ctf'), hello);
  const cut = path.join(work, 'cut.ctf');
  const capture = fs.readFileSync(demo);
  fs.writeFileSync(cut, capture.subarray(0, Math.floor(capture.length * 2 / 3)));
  const empty = path.join(work, 'empty.ctf');
  fs.writeFileSync(empty, Buffer.alloc(0));

  // Conversions: the same image, status and texts as the command line.
  const cases = [
    {input: demo, version: 2, download: 'demo.tap'},
    {input: demo, version: 1, download: 'demo.tap', by_keyboard: true},
    {input: cut, version: 2, download: 'cut-incomplete.tap'},
    {input: demo_image, version: 2},
    {input: empty, version: 1},
  ];
  if (options.large) {
    // Read in many buffers, its image handed over in many pieces.
    cases.push({input: options.large, version: 2, download: `${path.parse(options.large).name}.tap`});
  }
  for (const test_case of cases) {
    const label = `${path.basename(test_case.input)}, version ${test_case.version}`;
    const native = native_conversion(options.velmora, test_case.input, test_case.version);
    if (test_case.by_keyboard) {
      await page.setInputFiles('#file-input', test_case.input);
      await convert_by_keyboard(page, test_case.version);
    } else {
      await run_job(page, test_case.input, 'convert', test_case.version);
    }
    assert.equal(await page.getAttribute('body', 'data-outcome'), String(native.status), label);
    assert.equal(await page.textContent('#messages'), native.texts, label);
    const status_text = await page.textContent('#status');
    assert.ok(status_text.startsWith(`Exit status ${native.status}: `), `${label}: ${status_text}`);
    const offered = await page.isVisible('#download');
    assert.equal(offered, test_case.download !== undefined, `${label}: download offered`);
    if (offered) {
      assert.equal(await page.getAttribute('body', 'data-image-kept'), 'file', `${label}: kept in a private file`);
      const image = await downloaded(page, work, test_case.download);
      assert.ok(native.image !== null && image.equals(native.image), `${label}: the image differs from velmora's`);
    }
    console.log(`ok: convert ${label}: status ${native.status}`);
  }

  // Inspections: the same JSON, text and picture as velmora-inspect.
  // The large capture is read in many buffers; hello's report stays shown.
  for (const input of [demo, demo_image, ...(options.large ? [options.large] : []), hello]) {
    await run_job(page, input, 'inspect', 2);
    const label = `inspect ${path.basename(input)}`;
    assert.equal(await page.textContent('#json-report'), native_inspection(options.inspect, input, 2, ['--json']),
      label);
    assert.equal(await page.textContent('#text-report'), native_inspection(options.inspect, input, 2, []), label);
    assert.equal(await page.getAttribute('body', 'data-outcome'), String(native_inspection.status), label);
    const svg_path = path.join(work, 'native.svg');
    native_inspection(options.inspect, input, 2, ['--svg', svg_path]);
    const svg = await downloaded(page, work, `${path.parse(input).name}-histogram.svg`, '#svg-download');
    assert.ok(svg.equals(fs.readFileSync(svg_path)), `${label}: the picture differs from velmora-inspect's`);
    console.log(`ok: ${label}`);
  }
  await test_programs(page, options, hello);
  // Without pugixml the picture shows the characters XML reserves as '?'.
  await run_job(page, {name: 'a<b>&"\'.ctf', mimeType: 'application/octet-stream', buffer: capture}, 'inspect', 2);
  const svg = (await downloaded(page, work, null, '#svg-download')).toString('utf8');
  assert.ok(svg.includes('Pulse lengths of a?b????.ctf'), 'reserved characters in the picture\'s title');
  assert.ok((await page.textContent('#text-report')).includes('a<b>&"\'.ctf'), 'the name in the text report');

  // Cancel ends a run and offers nothing. Each piece of the image is held
  // up, so that the run still goes on when Cancel is clicked; Cancel ends
  // that worker, and the next run has a new one.
  if (options.large) {
    await in_workers(page, () => {
      const write = FileSystemSyncAccessHandle.prototype.write;
      FileSystemSyncAccessHandle.prototype.write = function (...parts) {
        const until = performance.now() + 100;
        while (performance.now() < until) {
          // held up
        }
        return write.apply(this, parts);
      };
    });
    await page.setInputFiles('#file-input', options.large);
    await page.click('#convert');
    await page.waitForSelector('#progress-row:not([hidden])');
    await page.click('#cancel');
    await page.waitForSelector('body[data-state="idle"]');
    assert.equal(await page.getAttribute('body', 'data-outcome'), 'cancelled');
    assert.equal(await page.isVisible('#download'), false, 'nothing offered after Cancel');
    console.log('ok: cancel');
  }

  if (options.large) {
    await test_storage_full(page, options);
    await test_image_lost(page, options); // last to convert in this page: its worker stays broken
  }
  await test_image_folders(page, options);

  // Opened from its folder, the page says it must be served.
  const from_folder = await page.context().newPage();
  await from_folder.goto(url.pathToFileURL(path.join(options.page, 'index.html')).href);
  assert.match(await from_folder.textContent('#status'), /only when it is served/);
  await from_folder.close();
  console.log('ok: opened from its folder');

  // The report with its files on the tape, at 200 % zoom (half the width in
  // CSS pixels): no sideways scrolling.
  await run_job(page, hello, 'inspect', 2);
  await page.setViewportSize({width: 640, height: 900});
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
  assert.ok(overflow <= 0, `the page scrolls sideways at 200 % zoom by ${overflow} px`);
  await page.screenshot({path: options.screenshot || path.join(work, 'velmora-page.png'), fullPage: true});
  console.log('ok: 200 % zoom');
}

// The files on the tape as velmora-inspect's JSON lists them, and each
// program offered with the name and bytes --extract writes. The page shows
// the report of `input`.
async function test_programs(page, options, input) {
  const files = JSON.parse(native_inspection(options.inspect, input, 2, ['--json'])).files;
  // The example's first copy holds a wrong byte: the program is recoverable.
  assert.ok(files.some((file) => file.verdict === 'recoverable'), 'a recoverable file in the example');
  const parts = ['name', 'type', 'addresses', 'size', 'verdict', 'why'];
  const shown = await page.$$eval('#files > li', (items, names) => items.map((item) => Object.fromEntries(
    names.map((part) => [part, item.querySelector(`.${part}`)?.textContent]))), parts);
  const hex4 = (value) => '$' + value.toString(16).toUpperCase().padStart(4, '0');
  // Where the report gives no reason, the page says what the verdict means.
  assert.deepEqual(shown, files.map((file, index) => ({
    name: file.name === null ? '(no header)' : `"${file.name}"`, type: file.type_name,
    addresses: file.data === null ? undefined : `${hex4(file.start)}-${hex4(file.end)}`,
    size: file.data === null ? undefined : file.size.toLocaleString('en'), verdict: file.verdict,
    why: file.why !== '' ? file.why : shown[index]?.why || 'what the verdict means'})), 'the files on the tape');

  const folder = path.join(options.work, 'extracted');
  fs.rmSync(folder, {recursive: true, force: true});
  fs.mkdirSync(folder);
  native_inspection(options.inspect, input, 2, ['--extract', folder]);
  const extracted = fs.readdirSync(folder).sort();
  const links = await page.$$eval('#files a[download]', (as) => as.map((a) => a.download));
  assert.ok(extracted.length > 0, 'velmora-inspect extracted a program');
  assert.deepEqual([...links].sort(), extracted, 'the programs offered');
  for (const name of links) {
    const bytes = await downloaded(page, options.work, name, `#files a[download="${name}"]`);
    assert.ok(bytes.equals(fs.readFileSync(path.join(folder, name))), `${name} differs from --extract's`);
  }
  console.log(`ok: the files of ${path.basename(input)}: ${extracted.join(', ')}`);
}

// Runs `patch` in each of the page's workers as they are now (a worker
// started later, after Cancel, is not patched).
async function in_workers(page, patch) {
  for (const worker of page.workers()) {
    await worker.evaluate(patch);
  }
}

// The origin's storage full while an image is being written: the page
// keeps the image in memory from there on, whole and the same as velmora's.
async function test_storage_full(page, options) {
  const origin = new URL(page.url()).origin;
  const used = await page.evaluate(async () => (await navigator.storage.estimate()).usage);
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Storage.overrideQuotaForOrigin', {origin, quotaSize: used + 4 * 1024 * 1024});
  try {
    await run_job(page, options.large, 'convert', 2);
  } finally {
    await cdp.send('Storage.overrideQuotaForOrigin', {origin});
  }
  const label = `${path.basename(options.large)} with the storage full after 4 MiB`;
  assert.equal(await page.getAttribute('body', 'data-outcome'), '0', label);
  assert.equal(await page.getAttribute('body', 'data-image-kept'), 'memory', label);
  const name = `${path.parse(options.large).name}.tap`;
  const image = await downloaded(page, options.work, name);
  const native = native_conversion(options.velmora, options.large, 2);
  assert.ok(image.equals(native.image), `${label}: the image differs from velmora's`);
  console.log(`ok: ${label}`);
}

// The private file failing after 4 MiB, and then failing to be read back:
// velmora's run fails as on a failed write, and nothing is offered.
async function test_image_lost(page, options) {
  await in_workers(page, () => {
    const write = FileSystemSyncAccessHandle.prototype.write;
    FileSystemSyncAccessHandle.prototype.write = function (bytes, at) {
      if (at.at + bytes.length > 4 * 1024 * 1024) {
        throw new DOMException('full', 'QuotaExceededError');
      }
      return write.call(this, bytes, at);
    };
    FileSystemSyncAccessHandle.prototype.read = () => {
      throw new DOMException('unreadable', 'NotReadableError');
    };
  });
  await run_job(page, options.large, 'convert', 2);
  const name = `${path.parse(options.large).name}.tap`;
  assert.equal(await page.getAttribute('body', 'data-outcome'), '6', 'the image lost');
  assert.equal(await page.textContent('#messages'), `It's impossible to write ${name}\n`, 'the image lost');
  assert.equal(await page.isVisible('#download'), false, 'the image lost: nothing offered');
  console.log('ok: the image lost on its way');
}

// Each open page keeps its images in a folder of its own; a closed page's
// folder is removed when another page opens, an open page's is kept.
async function test_image_folders(page, options) {
  // The names in the origin's private folder, or in its folder `within`.
  const folders = (from, within = null) => from.evaluate(async (name) => {
    let folder = await navigator.storage.getDirectory();
    if (name !== null) {
      folder = await folder.getDirectoryHandle(name);
    }
    const names = [];
    for await (const entry of folder.keys()) {
      names.push(entry);
    }
    return names.sort();
  }, within);
  const demo = path.join(options.examples, 'demo.ctf');
  const opened = async () => {
    const other = await page.context().newPage();
    await other.goto(page.url());
    await run_job(other, demo, 'convert', 2);
    return other;
  };
  const before = await folders(page);
  assert.equal(before.length, 1, `one page, one folder: ${before}`);
  // Of the images of the conversions so far, the newest two at most.
  const images = await folders(page, before[0]);
  assert.ok(images.length <= 2, `the page's images: ${images}`);
  const second = await opened();
  const with_second = await folders(page);
  assert.equal(with_second.length, 2, `two pages, two folders: ${with_second}`);
  const second_folder = with_second.find((name) => !before.includes(name));
  await second.close();
  // The browser lets the closed page's lock go a moment later.
  await page.waitForFunction(async (name) => !(await navigator.locks.query()).held.some((lock) => lock.name === name),
    second_folder);
  const third = await opened();
  const after = await folders(page);
  await third.close();
  assert.ok(after.includes(before[0]) && !after.includes(second_folder) && after.length === 2,
    `folders after the second page closed and a third opened: ${after}`);
  console.log('ok: the folders of open and closed pages');
}

// TAP version and Convert reached with the keyboard alone.
async function convert_by_keyboard(page, version) {
  await page.focus('#file-input');
  await tab_to(page, () => document.activeElement.name === 'version');
  const wanted = `input[name="version"][value="${version}"]`;
  for (let step = 0; step < 2 && !(await page.isChecked(wanted)); ++step) {
    await page.keyboard.press('ArrowDown');
  }
  assert.ok(await page.isChecked(wanted), 'the TAP version chosen by the keyboard');
  await tab_to(page, () => document.activeElement.id === 'convert');
  await page.keyboard.press('Enter');
  await page.waitForSelector('body[data-state="running"], body[data-state="idle"][data-outcome]');
  await page.waitForSelector('body[data-state="idle"]');
}

async function tab_to(page, reached) {
  for (let step = 0; step < 10; ++step) {
    if (await page.evaluate(reached)) {
      return;
    }
    await page.keyboard.press('Tab');
  }
  assert.fail(`not reached by Tab: ${reached}`);
}

async function bench(page, options) {
  for (let run = 0; run < Number(options.runs); ++run) {
    await run_job(page, options.bench, 'convert', Number(options.version));
    assert.equal(await page.getAttribute('body', 'data-outcome'), '0');
    const milliseconds = Number(await page.getAttribute('body', 'data-milliseconds'));
    const memory = Number(await page.getAttribute('body', 'data-memory-bytes'));
    const kept = await page.getAttribute('body', 'data-image-kept');
    console.log(`page ${milliseconds.toFixed(1)} ms memory ${memory} image in ${kept}`);
  }
}

async function main() {
  const options = parse_arguments(process.argv.slice(2));
  for (const key of ['work', 'page', 'velmora', 'inspect', 'examples', 'bench', 'large', 'screenshot']) {
    if (options[key] !== undefined) {
      options[key] = path.resolve(options[key]);
    }
  }
  fs.mkdirSync(options.work, {recursive: true});
  const page_folder = options.page;
  const served = [];
  const {context, profile} = await open_browser(options);
  const server = await serve(page_folder, served);
  const origin = `http://127.0.0.1:${server.address().port}`;
  const outside = [];
  const page_folder_url = url.pathToFileURL(page_folder).href + '/';
  const failed = [];
  try {
    // Every request of the page and its worker; any outside the origin is
    // recorded and refused.
    await context.route('**/*', (route) => {
      const asked = route.request().url();
      if (new URL(asked).origin === origin || asked.startsWith(page_folder_url)) {
        return route.continue();
      }
      outside.push(asked);
      return route.abort();
    });
    const page = await context.newPage();
    page.on('pageerror', (error) => failed.push(`page error: ${error.message}`));
    page.on('console', (message) => {
    if (message.type() === 'error') {
        failed.push(`console error: ${message.text()}`);
      }
    });
    await page.goto(`${origin}/`);
    if (options.settle !== undefined) {
      await page.waitForSelector('body[data-worker="ready"]');
      await page.waitForTimeout(Number(options.settle));
    }
    if (options.bench) {
      await bench(page, options);
    } else {
      await test_page(page, options);
      assert.ok(served.includes('/velmora_web.wasm'), 'the module was loaded from the page\'s folder');
    }
    assert.deepEqual(outside, [], 'requests outside the page\'s origin');
    assert.deepEqual(failed, [], 'errors in the page');
  } finally {
    await context.close();
    server.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
  if (!options.bench) {
    await test_browser_without_simd128(options, page_folder);
    console.log('all page tests passed');
  }
}

// A browser whose WebAssembly lacks SIMD128 (V8 offers it only with SSE4.1)
// is told so at once, and offers no conversion that would fail.
async function test_browser_without_simd128(options, page_folder) {
  const {context, profile} = await open_browser(options, ['--js-flags=--no-enable-sse4-1']);
  const server = await serve(page_folder, []);
  try {
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await page.setInputFiles('#file-input', path.join(options.examples, 'demo.ctf'));
    assert.match(await page.textContent('#status'), /lacks SIMD/);
    assert.ok(await page.isDisabled('#convert'), 'Convert is offered without SIMD128');
    assert.ok(await page.isDisabled('#inspect'), 'Inspect is offered without SIMD128');
  } finally {
    await context.close();
    server.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
