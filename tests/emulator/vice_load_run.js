// Loads a TAP image into the VICE Plus/4 emulator (the libretro core of the
// npm package @emulatorjs/core-vice_xplus4, an Emscripten build of RetroArch)
// without a display, lets autostart LOAD and RUN it, and checks emulated
// memory: the program's bytes must be at $1001 and a screen row must hold
// the text the program prints and nothing else.
//
// usage: node vice_load_run.js CORE_DIR IMAGE.tap PROGRAM.prg TEXT [FRAME_LIMIT]
// CORE_DIR holds vice_xplus4_libretro.js and vice_xplus4_libretro.wasm.
// Exit status: 0 loaded and ran; 1 not so within FRAME_LIMIT frames (default
// 1000, 20 s of emulated time; a load takes about 14 s); 2 the harness itself
// could not run.
'use strict';

const fs = require('fs');
const path = require('path');
const v8 = require('v8');

// Any fault of the harness is status 2, never 1, which means "did not load".
process.on('uncaughtException', (error) => {
  console.error(`vice_load_run: ${error && error.stack ? error.stack : error}`);
  process.exit(2);
});

const [coreDir, imagePath, programPath, text, frameLimitText = '1000'] = process.argv.slice(2);
if (!coreDir || !imagePath || !programPath || !/^[A-Z0-9 !"#$%&'()*+,\-./:;<=>?@]+$/.test(text || '') ||
    !/^[1-9][0-9]*$/.test(frameLimitText)) {
  console.error('usage: node vice_load_run.js CORE_DIR IMAGE.tap PROGRAM.prg TEXT [FRAME_LIMIT]');
  console.error('TEXT: capital letters, digits, spaces and punctuation only');
  process.exit(2);
}
const frameLimit = Number(frameLimitText);
const basicStart = 0x1001;
const screenStart = 0x0c00;
const screenColumns = 40;
const screenRows = 25;
const checkEvery = 25; // frames between two looks at memory

// Baseline compilation only: on a busy machine the optimising tier costs
// more than it saves over a run of a few hundred frames.
v8.setFlagsFromString('--liftoff-only');

// The few browser objects the RetroArch runtime touches, inert. Frames are
// driven below by calling the callback it hands to requestAnimationFrame.
let frameCallback = null;
let framesRun = 0;
const noop = () => {};
const element = () => ({
  addEventListener: noop, removeEventListener: noop, setAttribute: noop, appendChild: noop,
  style: {}, getContext: () => null,
  getBoundingClientRect: () => ({ left: 0, top: 0, width: 384, height: 288 }),
});
globalThis.window = globalThis;
globalThis.addEventListener = noop;
globalThis.removeEventListener = noop;
globalThis.devicePixelRatio = 1;
globalThis.requestAnimationFrame = (callback) => { frameCallback = callback; };
globalThis.ResizeObserver = class { observe() {} unobserve() {} };
globalThis.document = {
  addEventListener: noop, removeEventListener: noop, createElement: element,
  querySelector: () => null, getElementById: () => null,
  body: element(), documentElement: element(), visibilityState: 'visible',
};
if (typeof navigator === 'undefined') globalThis.navigator = { userAgent: '' };
// Node 18 keeps Web Crypto out of the globals; the runtime draws random bytes from it.
if (typeof crypto === 'undefined') globalThis.crypto = require('crypto').webcrypto;

const program = fs.readFileSync(programPath).subarray(2); // after the load address
if (program.length === 0) {
  console.error(`vice_load_run: ${programPath} holds no program after its load address`);
  process.exit(2);
}
const expectedRow = Array.from(text.padEnd(screenColumns), (c) => (c === '@' ? 0 : c >= 'A' && c <= 'Z' ? c.charCodeAt(0) - 64 : c.charCodeAt(0)));
const log = [];

function fail(message) {
  console.error(`vice_load_run: ${message}`);
  process.exit(2);
}

// The runtime is a CommonJS factory; evaluate it as one whatever the
// surrounding package says about module types.
function loadFactory() {
  const source = fs.readFileSync(path.join(coreDir, 'vice_xplus4_libretro.js'), 'utf8');
  const module = { exports: {} };
  new Function('module', 'exports', source)(module, module.exports);
  return module.exports;
}

function runFrame() {
  const callback = frameCallback;
  if (!callback) fail(`the emulator stopped running frames\n${log.join('\n')}`);
  frameCallback = null;
  ++framesRun;
  callback(performance.now());
}

// READ_CORE_MEMORY is answered during the next frame.
function readMemory(emulator, address, length) {
  const bytes = [];
  for (let offset = 0; offset < length; offset += 256) {
    const count = Math.min(256, length - offset);
    emulator.EmscriptenSendCommand(`READ_CORE_MEMORY ${(address + offset).toString(16)} ${count}`);
    runFrame();
    const reply = emulator.EmscriptenReceiveCommandReply();
    const fields = reply ? reply.trim().split(' ') : [];
    if (fields[0] !== 'READ_CORE_MEMORY' || fields.length !== count + 2) fail(`memory read answered '${reply}'`);
    bytes.push(...fields.slice(2).map((hex) => parseInt(hex, 16)));
  }
  return bytes;
}

function screenText(codes) {
  const character = (c) => (c === 0 ? '@' : c < 32 ? String.fromCharCode(c + 64) : c < 64 ? String.fromCharCode(c) : '.');
  const rows = [];
  for (let row = 0; row < screenRows; ++row) {
    rows.push(`|${codes.slice(row * screenColumns, (row + 1) * screenColumns).map(character).join('')}|`);
  }
  return rows.join('\n');
}

async function main() {
  const factory = loadFactory();
  const emulator = await factory({
    wasmBinary: fs.readFileSync(path.join(coreDir, 'vice_xplus4_libretro.wasm')),
    noInitialRun: true,
    canvas: element(),
    print: (line) => log.push(line),
    printErr: (line) => log.push(line),
  });
  const userdata = '/home/web_user/retroarch/userdata';
  emulator.FS.mkdirTree(userdata);
  emulator.FS.writeFile(`${userdata}/retroarch.cfg`, [
    'video_driver = "null"', 'audio_driver = "null"', 'input_driver = "null"',
    'video_vsync = "false"', 'audio_sync = "false"', '',
  ].join('\n'));
  emulator.FS.writeFile('/image.tap', fs.readFileSync(imagePath));
  try {
    emulator.callMain(['-v', '-c', `${userdata}/retroarch.cfg`, '/image.tap']);
  } catch (error) {
    // Setting up the main loop ends main() by throwing 'unwind'.
    if (error !== 'unwind') fail(`the emulator did not start: ${error}\n${log.join('\n')}`);
  }
  if (!log.some((line) => line.includes('Tape: TAP image') && line.includes('attached'))) {
    fail(`the emulator did not attach the image\n${log.join('\n')}`);
  }
  while (framesRun < frameLimit) {
    for (let i = 0; i < checkEvery; ++i) runFrame();
    const loaded = readMemory(emulator, basicStart, program.length);
    if (!loaded.every((value, i) => value === program[i])) continue;
    const screen = readMemory(emulator, screenStart, screenColumns * screenRows);
    for (let row = 0; row < screenRows; ++row) {
      if (expectedRow.every((code, column) => screen[row * screenColumns + column] === code)) {
        console.log(`${imagePath}: loaded at $1001 and printed ${text} after ${framesRun} frames`);
        process.exit(0);
      }
    }
  }
  const loaded = readMemory(emulator, basicStart, program.length);
  const hex = (bytes) => bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ');
  console.log(`${imagePath}: not loaded and run within ${frameLimit} frames`);
  console.log(`expected at $1001: ${hex(Array.from(program))}`);
  console.log(`found at $1001:    ${hex(loaded)}`);
  console.log(`screen:\n${screenText(readMemory(emulator, screenStart, screenColumns * screenRows))}`);
  process.exit(1);
}

main().catch((error) => fail(error && error.stack ? error.stack : String(error)));
