// velmora's page. This one script runs three times: in the page, where it
// handles the controls and shows results; as the page's worker, where
// velmora's own conversion and inspector (velmora_web.wasm) run; and as that
// worker's reader, which reads the chosen file ahead of them, a buffer at a
// time, while they work. Nothing is sent anywhere: the file is read through
// File.stream, the image and the reports are kept in the browser and
// offered as downloads.
'use strict';

// The messages between the page and its worker:
//   page -> worker  {job: 'convert' | 'inspect', file, name, image_name, version,
//                    image_folder, image_file, image_file_kept}: image_folder null
//                    keeps the image in memory; image_file_kept is the file of
//                    the image offered before, kept (null for none)
//   worker -> page  {kind: 'ready'}: the module is compiled and the buffers made
//                   {kind: 'progress', done, total}
//                   {kind: 'done', job, status, texts, image, image_kept, programs, memory_bytes,
//                    milliseconds}: image_kept 'file' or 'memory', where the image was
//                    kept (null for no image)
//                   programs: [{index, name, blob}], each program found on the tape
//                   that loads or is recoverable, as velmora-inspect --extract
//                   writes it; index is its place in the JSON report's files
//                   {kind: 'failed', message}: the module stopped; no result
// A run cannot be stopped from inside; Cancel ends the whole worker, and
// with it its reader.
//
// Between the worker and its reader:
//   worker -> reader  {kind: 'read', file, stream, from, buffers}: fill the buffers
//                     (ArrayBuffers, handed over) with the file from byte `from`
//                     on, in order; slices of earlier streams are no longer wanted
//                     {kind: 'buffer', stream, buffer}: a buffer to fill again
//                     {kind: 'stop'}: no more of the current stream is wanted
//   reader -> worker  {kind: 'slice', stream, start, buffer, length}: `length`
//                     bytes of the file from `start` on, fewer than a buffer only
//                     at its end; buffer null: the browser could not read them
//                     {kind: 'buffer', buffer}: a buffer no longer needed

// velmora asks for the file in pieces of up to 1 MiB; the reader reads it
// from the browser into buffers this large, each refilled when the module
// has taken it all. It is read as a byte stream into the same buffers over
// and over: reading 64 MiB in Chromium took 80 to 110 ms so, against 270 to
// 500 ms in 16 MiB slices (FileReaderSync or Blob.arrayBuffer, a new buffer
// each). The buffers live outside the module's memory, which stays the same
// size for any file.
const input_buffer_bytes = 8 * 1024 * 1024;
// Buffers of the file: one the module reads from, the others filled
// meanwhile by the reader worker.
const input_buffers = 3;
// The name the reader worker is started under, which tells the script its part.
const reader_worker_name = 'velmora-reader';
// Progress is posted at most this often (milliseconds).
const progress_interval = 100;
// Where the browser has a private file system for the page's origin, the
// image is written to a file there, as velmora writes one, and offered as
// that file: nothing of it stays in memory. Keeping a 37 MiB image in
// memory as Blobs took 210 to 270 ms in Chromium on our CI machines (new
// memory, page by page), writing it to such a file 30 to 60 ms
// (doc/performance.md). Elsewhere (the page served over plain HTTP, a
// browser without it, storage full) the image is gathered in a buffer
// this large, which becomes a Blob whenever it is full, so that the
// browser may keep a large image out of the worker's memory; the image is
// made of these Blobs at the end, without copying them. A new buffer for
// each piece the module hands over (a mebibyte) took a quarter to a third
// of a conversion's time in Chromium; the buffer is made once per worker.
const image_stage_bytes = 16 * 1024 * 1024;
// Each page keeps its images in a folder of this name and a random suffix,
// under a Web Lock of the folder's name held as long as the page is open.
// A folder whose lock nobody holds belongs to a page that has closed: the
// next page to open removes it. An open page keeps the image it offers,
// and the one it offered before, which may still be downloading.
const image_folder_prefix = 'velmora-page-';
// The type of the image and the programs offered for download.
const download_type = 'application/octet-stream';
// What page_text's kind number says (web/velmora_web.cpp).
const text_kinds = {1: 'out', 2: 'err', 3: 'text_report', 4: 'json_report', 5: 'histogram_svg'};

// The file from byte `start` on, read into `buffer` through a byte stream;
// browsers whose File.stream gives no byte stream hand out chunks of their
// own, copied into the buffer.
function open_file_stream(file, start) {
  const stream = file.slice(start).stream();
  let reader;
  let byob = true;
  try {
    reader = stream.getReader({mode: 'byob'});
  } catch (error) {
    reader = stream.getReader();
    byob = false;
  }
  return {reader, byob, start, left: null};
}

// Fills `buffer` (input_buffer_bytes) from the stream's current place: the
// bytes read, as a view of the buffer (a byte stream hands back the same
// memory as a new ArrayBuffer), fewer than the buffer holds only at the
// file's end. Throws if the browser cannot read the file.
async function fill_from_stream(stream, buffer) {
  let filled = 0;
  while (filled < input_buffer_bytes) {
    if (stream.byob) {
      const {done, value} = await stream.reader.read(new Uint8Array(buffer, filled));
      if (value === undefined) {
        throw new Error('the file could not be read to its end');
      }
      buffer = value.buffer;
      if (done) {
        break;
      }
      filled += value.byteLength;
    } else {
      if (stream.left === null) {
        const {done, value} = await stream.reader.read();
        if (done) {
          break;
        }
        stream.left = value;
      }
      const taken = stream.left.subarray(0, input_buffer_bytes - filled);
      new Uint8Array(buffer, filled).set(taken);
      filled += taken.length;
      stream.left = taken.length < stream.left.length ? stream.left.subarray(taken.length) : null;
    }
  }
  const bytes = new Uint8Array(buffer, 0, filled);
  stream.start += filled;
  return bytes;
}

// The reader worker: reads the file ahead of the module into the buffers
// the worker hands it, each filled whole and sent back in order.
function run_reader_worker() {
  let reading = null; // {stream, number, free, busy, ended}

  async function fill_next() {
    const now_reading = reading;
    if (now_reading === null || now_reading.busy || now_reading.ended || now_reading.free.length === 0) {
      return;
    }
    now_reading.busy = true;
    const start = now_reading.stream.start;
    let slice;
    try {
      const bytes = await fill_from_stream(now_reading.stream, now_reading.free.shift());
      slice = {kind: 'slice', stream: now_reading.number, start, buffer: bytes.buffer, length: bytes.length};
      now_reading.ended = bytes.length < input_buffer_bytes;
    } catch (error) {
      slice = {kind: 'slice', stream: now_reading.number, start, buffer: null, length: 0};
      now_reading.ended = true;
    }
    now_reading.busy = false;
    postMessage(slice, slice.buffer === null ? [] : [slice.buffer]);
    fill_next();
  }

  // Stops reading the current stream; its buffers not being filled go back.
  function stop_reading() {
    if (reading !== null) {
      reading.stream.reader.cancel().catch(() => {});
      for (const buffer of reading.free) {
        postMessage({kind: 'buffer', buffer}, [buffer]);
      }
      reading = null;
    }
  }

  onmessage = (event) => {
    const message = event.data;
    if (message.kind === 'read') {
      stop_reading();
      reading = {stream: open_file_stream(message.file, message.from), number: message.stream,
        free: message.buffers, busy: false, ended: false};
    } else if (message.kind === 'stop') {
      stop_reading();
    } else if (reading !== null && message.stream === reading.number) {
      reading.free.push(message.buffer);
    } else {
      postMessage({kind: 'buffer', buffer: message.buffer}, [message.buffer]);
    }
    fill_next();
  };
}

// The image of a conversion as the module writes it: its bytes after the
// header, in order, each piece with its place in the image (write, called
// from the module, so synchronous), then its header (finish, which gives
// the whole image to offer for download).
// In memory: Blobs of the bytes of `stage_of()`, a buffer of
// image_stage_bytes, in order.
function image_in_memory(stage_of) {
  const stage = stage_of();
  const blobs = [];
  let staged = 0;
  return {
    write(bytes, position) {
      let done = 0;
      while (done < bytes.length) {
        const taken = bytes.subarray(done, done + stage.length - staged);
        stage.set(taken, staged);
        staged += taken.length;
        done += taken.length;
        if (staged === stage.length) {
          blobs.push(new Blob([stage]));
          staged = 0;
        }
      }
    },
    async finish(head) {
      return new Blob([head, ...blobs, stage.subarray(0, staged)], {type: download_type});
    },
    discard() {},
    kept: () => 'memory',
  };
}

// In the file `name` of the origin's private folder `folder_name`, through
// a synchronous access handle; null if the browser refuses either. The
// folder's other images are removed, but for `kept` (null for none), the
// image the page offered before, which may still be downloading. If a write
// fails (the storage full, say), what the file holds is read back into
// memory and the image goes on there: nothing is lost.
async function image_in_private_file(folder_name, name, kept, stage_of) {
  let folder;
  let handle;
  let access;
  try {
    folder = await (await navigator.storage.getDirectory()).getDirectoryHandle(folder_name, {create: true});
    for await (const old of folder.keys()) {
      if (old !== kept && old !== name) {
        await folder.removeEntry(old).catch(() => {});
      }
    }
    handle = await folder.getFileHandle(name, {create: true});
    access = await handle.createSyncAccessHandle();
    await access.truncate(0);
  } catch (error) {
    try {
      await access?.close();
    } catch (ignored) {
      // the handle is let go with the worker
    }
    return null;
  }
  // The bytes before `start` (the header, written last) and after `end`
  // are not written yet.
  let start = null;
  let end = 0;
  let in_memory = null;

  function close_and_remove() {
    Promise.resolve(access.close()).then(() => folder.removeEntry(name)).catch(() => {});
  }

  function move_to_memory() {
    const moved = image_in_memory(stage_of);
    const piece = new Uint8Array(1024 * 1024);
    try {
      for (let at = start ?? end; at < end;) {
        const read = access.read(piece.subarray(0, Math.min(piece.length, end - at)), {at});
        if (read === 0) {
          throw new Error('the image file could not be read back');
        }
        moved.write(piece.subarray(0, read), at);
        at += read;
      }
    } finally {
      close_and_remove();
    }
    in_memory = moved;
  }

  function write_to_file(bytes, at) {
    if (access.write(bytes, {at}) !== bytes.length) {
      throw new Error('the image file took fewer bytes than it was given');
    }
  }

  return {
    write(bytes, position) {
      if (in_memory === null) {
        start ??= position;
        end = position;
        try {
          write_to_file(bytes, position);
          end += bytes.length;
          return;
        } catch (error) {
          move_to_memory();
        }
      }
      in_memory.write(bytes, position);
    },
    // A failure after the header is written (closing the file, or the
    // browser refusing the file to read) ends the run as a failure.
    async finish(head) {
      if (in_memory === null) {
        try {
          write_to_file(head, 0);
        } catch (error) {
          move_to_memory();
        }
      }
      if (in_memory !== null) {
        return in_memory.finish(head);
      }
      await access.close();
      return new Blob([await handle.getFile()], {type: download_type});
    },
    discard() {
      if (in_memory === null) {
        close_and_remove();
      }
    },
    kept: () => (in_memory === null ? 'file' : 'memory'),
  };
}

function run_worker() {
  importScripts('velmora_web.js');
  let file = null;
  let last_progress = 0;
  // The file is read by the reader worker, while the module converts, into
  // input_buffers buffers that go back and forth: the one the module reads
  // from, `bytes` from `start` on, and those the reader fills.
  const reader_worker = new Worker('velmora-page.js', {name: reader_worker_name});
  let input = null; // {start, bytes}
  // The slices of the reader's current stream not yet taken, in order;
  // `next` is where the first one that has not arrived starts.
  let stream = {number: 0, next: -1, arrived: []};
  let free_buffers = [];
  let wake_reader = null;
  let read_failed = false;
  // Set for good if the browser refused to run the reader worker.
  let reader_failed = false;
  let image = null; // the image being made: image_in_memory or image_in_private_file
  let image_head = new Uint8Array(0);
  // The file's buffers are made and written to once as the worker starts,
  // before a file is chosen: memory written for the first time cost a first
  // conversion much of its extra time (doc/performance.md). The image's
  // buffer in memory is made only when an image is first kept there.
  let image_stage = null;
  const image_stage_of = () => (image_stage ??= new Uint8Array(image_stage_bytes));
  for (let i = 0; i < input_buffers; ++i) {
    const buffer = new ArrayBuffer(input_buffer_bytes);
    new Uint8Array(buffer).fill(0);
    free_buffers.push(buffer);
  }
  let texts = {};
  let programs = [];

  function post_progress(done) {
    postMessage({kind: 'progress', done, total: file.size});
  }

  reader_worker.onmessage = (event) => {
    const slice = event.data;
    if (slice.kind === 'buffer') {
      free_buffers.push(slice.buffer);
    } else if (slice.stream === stream.number) {
      stream.arrived.push(slice);
      if (wake_reader !== null) {
        wake_reader();
      }
    } else if (slice.buffer !== null) {
      free_buffers.push(slice.buffer);
    }
  };
  reader_worker.onerror = (event) => {
    event.preventDefault();
    reader_failed = true;
    if (wake_reader !== null) {
      wake_reader();
    }
  };

  const module_ready = create_velmora_module({
    // Bytes [position, position + size) of the file, fewer at its end;
    // null if the browser cannot read it (moved, changed, unreadable);
    // undefined if they are yet to be read (wait_for_input).
    read_input(position, size) {
      if (read_failed) {
        return null;
      }
      if (position >= file.size) {
        return new Uint8Array(0);
      }
      if (input === null || position < input.start || position >= input.start + input.bytes.length) {
        return undefined;
      }
      const offset = position - input.start;
      return input.bytes.subarray(offset, offset + size);
    },
    // Waits until read_input has the bytes at `position` (before the
    // file's end), or has failed.
    async wait_for_input(position) {
      if (position === stream.next) {
        release_input();
      } else {
        end_stream();
        stream.next = position;
        const buffers = free_buffers.splice(0, input_buffers);
        while (buffers.length < input_buffers) {
          buffers.push(new ArrayBuffer(input_buffer_bytes));
        }
        reader_worker.postMessage({kind: 'read', file, stream: stream.number, from: position, buffers}, buffers);
      }
      while (stream.arrived.length === 0 && !reader_failed) {
        await new Promise((resolve) => {
          wake_reader = resolve;
        });
        wake_reader = null;
      }
      const slice = stream.arrived.shift();
      if (slice === undefined || slice.buffer === null || slice.length === 0) {
        read_failed = true;
        return;
      }
      input = {start: slice.start, bytes: new Uint8Array(slice.buffer, 0, slice.length)};
      stream.next = slice.start + slice.length;
      const now = performance.now();
      if (now - last_progress >= progress_interval) {
        last_progress = now;
        post_progress(position);
      }
    },
    // `bytes` is valid only during the call. False if the image cannot be
    // kept: velmora then fails as on a failed write.
    image_bytes(bytes, position) {
      try {
        image.write(bytes, position);
        return true;
      } catch (error) {
        return false;
      }
    },
    image_head(bytes) {
      image_head = bytes;
    },
    page_text(kind, text) {
      texts[text_kinds[kind]] = text;
    },
    // Each program as it is found (at most 64 KiB and its load address),
    // kept outside the module's memory.
    program_file(index, name, bytes) {
      programs.push({index, name, blob: new Blob([bytes], {type: download_type})});
    },
  });
  module_ready.then(() => postMessage({kind: 'ready'}), () => {});

  onmessage = async (event) => {
    try {
      await run_request(event.data);
    } catch (error) {
      // The module stopped (out of memory, say) and cannot be used again.
      postMessage({kind: 'failed', message: String(error && error.message || error)});
    }
  };

  // Ends the reader's current stream: its buffers come back to be used for
  // the next one.
  function end_stream() {
    if (input !== null) {
      free_buffers.push(input.bytes.buffer);
      input = null;
    }
    for (const slice of stream.arrived) {
      if (slice.buffer !== null) {
        free_buffers.push(slice.buffer);
      }
    }
    stream = {number: stream.number + 1, next: -1, arrived: []};
    reader_worker.postMessage({kind: 'stop'});
  }

  // The buffer the module read from goes back to be filled again.
  function release_input() {
    if (input !== null) {
      reader_worker.postMessage({kind: 'buffer', stream: stream.number, buffer: input.bytes.buffer},
        [input.bytes.buffer]);
      input = null;
    }
  }

  async function run_request(request) {
    const module = await module_ready;
    const started = performance.now();
    file = request.file;
    end_stream();
    read_failed = false;
    image_head = new Uint8Array(0);
    image = request.job !== 'convert' ? null
      : request.image_folder !== null && await image_in_private_file(request.image_folder, request.image_file,
        request.image_file_kept, image_stage_of) || image_in_memory(image_stage_of);
    texts = {};
    programs = [];
    last_progress = performance.now();
    post_progress(0);
    let status;
    try {
      if (request.job === 'convert') {
        status = await module.ccall('velmora_web_convert', 'number', ['string', 'string', 'number'],
          [request.name, request.image_name, request.version], {async: true});
      } else {
        status = await module.ccall('velmora_web_inspect', 'number', ['string', 'number'],
          [request.name, request.version], {async: true});
      }
    } catch (error) {
      image?.discard();
      throw error;
    }
    let image_blob = null;
    if (image !== null) {
      if (status === 0 || status === 5) {
        image_blob = await image.finish(image_head);
      } else {
        image.discard();
      }
    }
    // From the request to the image ready for download.
    const milliseconds = performance.now() - started;
    const image_kept = image?.kept() ?? null;
    post_progress(file.size);
    end_stream();
    file = null;
    image = null;
    const found = programs;
    programs = [];
    postMessage({kind: 'done', job: request.job, status, texts, image: image_blob, image_kept, programs: found,
      memory_bytes: module._velmora_web_memory_bytes(), milliseconds});
  }
}

// What each exit status of velmora means, in the words of its manual.
const conversion_statuses = {
  0: 'converted',
  1: 'wrong arguments',
  2: 'the input cannot be used: it cannot be opened, or it is a TAP image, not a capture',
  3: 'the image cannot be made',
  4: 'the capture is empty',
  5: 'the input ended early, or could not be read to its end',
  6: 'the image could not be written',
};
// What each verdict on a file means, shown where the report gives no reason.
const verdict_meanings = {
  loads: 'the ROM loads it intact',
  recoverable: 'the ROM would load it damaged or not at all, but velmora recovers it',
  lost: 'neither copy on the tape, nor both together, give its bytes',
};
const inspection_statuses = {
  0: 'read to the end (problems are reported, not fatal)',
  5: 'the file ended early or could not be read to its end; the report tells what was read',
  7: 'read to the end, but the ROM would not load a file on it intact (see the files on the tape)',
};

// A module of one function using a SIMD128 instruction (v128 type,
// i8x16.splat, i8x16.popcnt): a browser that validates it runs the page's
// module, whose scan needs SIMD128.
const simd128_probe = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8,
  0, 65, 0, 253, 15, 253, 98, 11]);
const no_simd128_hint = 'This browser cannot run the page: its WebAssembly lacks SIMD, which Chrome, Edge and ' +
  'Firefox have had since 2021 and Safari since version 16.4. Use a current browser, or velmora\'s command line.';

// Browsers do not let a page opened as a file start its worker or load its
// module.
const serve_hint = 'Browsers run this page only when it is served: for example, in its folder, ' +
  'run "python3 -m http.server --bind 127.0.0.1 8000" and open http://127.0.0.1:8000/.';

// Takes a folder of the origin's private file system for this page's
// images, and removes those of pages that have closed: its name, or null
// where the browser offers no such folder or no Web Locks (a page served
// over plain HTTP, say); images are then kept in memory.
async function claim_image_folder() {
  if (!navigator.storage?.getDirectory || !navigator.locks || !self.crypto?.randomUUID) {
    return null;
  }
  try {
    const name = image_folder_prefix + crypto.randomUUID();
    await new Promise((held, refused) => {
      navigator.locks.request(name, () => {
        held();
        return new Promise(() => {}); // held until the page closes
      }).catch(refused);
    });
    const root = await navigator.storage.getDirectory();
    const open_pages = new Set((await navigator.locks.query()).held.map((lock) => lock.name));
    for await (const old of root.keys()) {
      if (old.startsWith(image_folder_prefix) && !open_pages.has(old)) {
        await root.removeEntry(old, {recursive: true}).catch(() => {});
      }
    }
    return name;
  } catch (error) {
    return null;
  }
}

function run_page() {
  const element = (id) => document.getElementById(id);
  const file_input = element('file-input');
  const drop_zone = element('drop-zone');
  const convert_button = element('convert');
  const inspect_button = element('inspect');
  const cancel_button = element('cancel');
  const progress = element('progress');
  const status_line = element('status');
  const messages = element('messages');
  let chosen = null;
  let worker = null;
  let running = false;
  let urls = [];
  // This page's folder of images, or null (claim_image_folder).
  let image_folder = Promise.resolve(null);
  let images_made = 0;
  let image_offered = null; // the file of the image offered last, if kept in the folder
  let runs_started = 0;

  function chosen_version() {
    return Number(document.querySelector('input[name="version"]:checked').value);
  }

  function image_name_of(name) {
    const stem = name.replace(/\.[^./\\]*$/, '');
    return (stem === '' ? name : stem) + '.tap';
  }

  function choose(file) {
    if (running || !file) {
      return;
    }
    chosen = file;
    element('chosen').textContent = `Chosen: ${file.name} (${file.size.toLocaleString('en')} bytes).`;
    set_running(false);
  }

  function clear_results() {
    urls.forEach((url) => URL.revokeObjectURL(url));
    urls = [];
    messages.hidden = true;
    messages.textContent = '';
    element('download-row').hidden = true;
    element('report').hidden = true;
    element('text-report').textContent = '';
    element('json-report').textContent = '';
    element('problems').replaceChildren();
    element('files').replaceChildren();
    element('blocks').tBodies[0].replaceChildren();
    element('histogram').removeAttribute('src');
  }

  const runs_module = typeof WebAssembly === 'object' && WebAssembly.validate(simd128_probe);

  function set_running(now_running) {
    running = now_running;
    convert_button.disabled = now_running || chosen === null || !runs_module;
    inspect_button.disabled = now_running || chosen === null || !runs_module;
    file_input.disabled = now_running;
    cancel_button.disabled = !now_running;
    element('progress-row').hidden = !now_running;
    document.body.dataset.state = now_running ? 'running' : 'idle';
  }

  function say(text) {
    status_line.textContent = text;
  }

  function show_progress(done, total) {
    progress.max = Math.max(total, 1);
    progress.value = done;
    const percent = total > 0 ? Math.floor((done * 100) / total) : 100;
    element('progress-text').textContent = `${percent} % (${done.toLocaleString('en')} of ${total.toLocaleString('en')} bytes)`;
  }

  function object_url(blob) {
    const url = URL.createObjectURL(blob);
    urls.push(url);
    return url;
  }

  async function start(job) {
    if (chosen === null || running) {
      return;
    }
    clear_results();
    if (!start_worker()) {
      return;
    }
    set_running(true);
    const run = ++runs_started;
    show_progress(0, chosen.size);
    say(job === 'convert' ? `Converting ${chosen.name}…` : `Inspecting ${chosen.name}…`);
    images_made += job === 'convert' ? 1 : 0;
    const request = {job, file: chosen, name: chosen.name, image_name: image_name_of(chosen.name),
      version: chosen_version(), image_folder: await image_folder, image_file: `image-${images_made}.tap`,
      image_file_kept: image_offered};
    // Unless cancelled meanwhile (and perhaps another run started).
    if (run === runs_started && running) {
      worker.postMessage(request);
    }
  }

  // Starts the page's worker unless it runs; false, with the reason said, if
  // the browser refused. A worker that fails before it is given a run is
  // ended without a word: the next run starts another, which says why.
  function start_worker() {
    if (worker !== null) {
      return true;
    }
    delete document.body.dataset.worker;
    try {
      worker = new Worker('velmora-page.js');
    } catch (error) {
      say(`The browser refused to start the page's worker (${error.message}). ${serve_hint}`);
      return false;
    }
    worker.onmessage = (event) => on_worker_message(event.data);
    worker.onerror = (event) => {
      event.preventDefault();
      if (running) {
        worker_failed(event.message);
      } else {
        end_worker();
      }
    };
    return true;
  }

  function end_worker() {
    if (worker !== null) {
      worker.terminate();
      worker = null;
    }
  }

  function finish_run(outcome) {
    set_running(false);
    document.body.dataset.outcome = outcome;
    status_line.focus();
  }

  function worker_failed(reason) {
    end_worker();
    clear_results();
    say(`The page's worker stopped (${reason || 'no reason given'}). No image was made.`);
    finish_run('failed');
  }

  function on_worker_message(message) {
    if (message.kind === 'ready') {
      document.body.dataset.worker = 'ready';
      return;
    }
    if (message.kind === 'progress') {
      show_progress(message.done, message.total);
      return;
    }
    if (message.kind === 'failed') {
      worker_failed(message.message);
      return;
    }
    const seconds = (message.milliseconds / 1000).toFixed(2);
    document.body.dataset.milliseconds = String(message.milliseconds);
    document.body.dataset.memoryBytes = String(message.memory_bytes);
    document.body.dataset.imageKept = String(message.image_kept);
    if (message.job === 'convert') {
      show_conversion(message, seconds);
    } else {
      show_inspection(message, seconds);
    }
    finish_run(String(message.status));
  }

  function show_messages(texts) {
    const shown = [texts.out, texts.err].filter((text) => text).join('');
    messages.textContent = shown;
    messages.hidden = shown === '';
  }

  function show_conversion(message, seconds) {
    const status = message.status;
    const image_name = image_name_of(chosen.name);
    show_messages(message.texts);
    const meaning = conversion_statuses[status] || 'unknown';
    const link = element('download');
    if (status === 0) {
      say(`Exit status 0: ${meaning} (${seconds} s). The image is complete.`);
      link.textContent = `Download ${image_name}`;
      link.download = image_name;
    } else if (status === 5) {
      // The command line keeps what was read; here it is never offered
      // under the name of a complete image.
      const partial_name = image_name.replace(/\.tap$/, '-incomplete.tap');
      say(`Exit status 5: ${meaning}. The image holds only what was read: it is not the whole tape.`);
      link.textContent = `Download what was read, as ${partial_name} (incomplete)`;
      link.download = partial_name;
    } else {
      say(`Exit status ${status}: ${meaning}. No image was made.`);
      return;
    }
    image_offered = message.image_kept === 'file' ? `image-${images_made}.tap` : null;
    link.href = object_url(message.image);
    link.dataset.size = String(message.image.size);
    element('download-row').hidden = false;
  }

  function hex4(value) {
    return '$' + value.toString(16).toUpperCase().padStart(4, '0');
  }

  // An element of `tag` holding `parts`: texts, set as text, never as
  // markup, and elements.
  function text_element(tag, class_name, ...parts) {
    const made = document.createElement(tag);
    if (class_name !== '') {
      made.className = class_name;
    }
    made.append(...parts);
    return made;
  }

  // The files on the tape with their verdicts, and a download of each
  // program the worker found. A list, not a table, so that it reflows at
  // any zoom.
  function show_files(files, programs) {
    const list = element('files');
    files.forEach((file, index) => {
      const name = file.name === null ? '(no header)' : `"${file.name}"`;
      const title = text_element('p', '', text_element('span', 'name', name), ': ',
        text_element('span', 'type', file.type_name));
      if (file.data !== null) {
        title.append(', ', text_element('span', 'addresses', `${hex4(file.start)}-${hex4(file.end)}`), ', ',
          text_element('span', 'size', file.size.toLocaleString('en')), ' bytes');
      }
      const verdict = text_element('p', '', text_element('strong', 'verdict', file.verdict), ': ',
        text_element('span', 'why', file.why || verdict_meanings[file.verdict] || ''));
      const item = text_element('li', '', title, verdict);
      const program = programs.find((found) => found.index === index);
      if (program !== undefined) {
        const link = text_element('a', '', `Download ${program.name}`);
        link.href = object_url(program.blob);
        link.download = program.name;
        item.append(text_element('p', '', link));
      } else if (file.data !== null && file.verdict === 'lost') {
        item.append(text_element('p', '', 'Not offered: its bytes are lost.'));
      }
      list.append(item);
    });
    element('no-files').hidden = files.length > 0;
  }

  function show_inspection(message, seconds) {
    const texts = message.texts;
    say(`Inspected: ${inspection_statuses[message.status] || 'unknown'} (${seconds} s).`);
    element('text-report').textContent = texts.text_report;
    element('json-report').textContent = texts.json_report;
    const report = JSON.parse(texts.json_report);
    const problems = element('problems');
    const found = report.problems.length > 0 ? report.problems : ['None found.'];
    for (const problem of found) {
      const item = document.createElement('li');
      item.textContent = problem;
      problems.append(item);
    }
    const rows = element('blocks').tBodies[0];
    const blocks = report.ctf ? report.ctf.blocks : [];
    for (const block of blocks) {
      const row = document.createElement('tr');
      for (const value of [block.number, block.sample_period, block.sample_bytes, block.edges, block.pulses,
        block.running_time_s.toFixed(3)]) {
        const cell = document.createElement('td');
        cell.textContent = typeof value === 'number' ? value.toLocaleString('en') : value;
        row.append(cell);
      }
      rows.append(row);
    }
    if (blocks.length === 0) {
      const row = document.createElement('tr');
      const cell = document.createElement('td');
      cell.colSpan = 6;
      cell.textContent = report.kind === 'tap' ? 'A TAP image has no blocks of samples.' : 'No blocks.';
      row.append(cell);
      rows.append(row);
    }
    show_files(report.files, message.programs);
    const svg = new Blob([texts.histogram_svg], {type: 'image/svg+xml'});
    const picture = element('histogram');
    picture.alt = `Histogram of the pulse lengths of ${chosen.name}: ${report.pulses.count.toLocaleString('en')} pulses`;
    picture.src = object_url(svg);
    const base = chosen.name.replace(/\.[^./\\]*$/, '') || chosen.name;
    const svg_link = element('svg-download');
    svg_link.href = picture.src;
    svg_link.download = `${base}-histogram.svg`;
    const json_link = element('json-download');
    json_link.href = object_url(new Blob([texts.json_report], {type: 'application/json'}));
    json_link.download = `${base}-report.json`;
    element('report').hidden = false;
  }

  file_input.addEventListener('change', () => choose(file_input.files[0]));
  drop_zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop_zone.classList.add('dragging');
  });
  drop_zone.addEventListener('dragleave', () => drop_zone.classList.remove('dragging'));
  drop_zone.addEventListener('drop', (event) => {
    event.preventDefault();
    drop_zone.classList.remove('dragging');
    choose(event.dataTransfer.files[0]);
  });
  // A file dropped beside the drop zone is not opened by the browser instead.
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => event.preventDefault());
  convert_button.addEventListener('click', () => start('convert'));
  inspect_button.addEventListener('click', () => start('inspect'));
  cancel_button.addEventListener('click', () => {
    ++runs_started;
    end_worker();
    start_worker();
    clear_results();
    say('Cancelled. No image was made; the file was only read.');
    finish_run('cancelled');
  });
  set_running(false);
  if (!runs_module) {
    say(no_simd128_hint);
  } else if (location.protocol === 'file:') {
    say(`This page was opened from a folder. ${serve_hint}`);
  } else {
    // The worker compiles the module and makes its buffers while a file is
    // being chosen.
    start_worker();
    image_folder = claim_image_folder();
  }
}

// Last, once every constant above is set.
if (typeof document !== 'undefined') {
  run_page();
} else if (self.name === reader_worker_name) {
  run_reader_worker();
} else {
  run_worker();
}
