// A tablet played by headless Chromium (Debian's, driven by playwright-core over a pipe): the page offers, opens
// the channels it is told to, trickles its candidates, restarts ICE on request, and echoes every message on the
// channel it came in on (unless "start" says "echo": false). JSON lines on stdin/stdout, the same as the aiortc
// tablet, plus {"type": "restart"}, and {"type": "pair"}, answered with {"type": "pair", "protocol"} of the selected
// pair's local candidate ("udp" or "tcp").
// With "vlc1": true in "start" it speaks "VLC1" as a tablet does: it puts each message's chunks together and
// echoes the whole message cut into chunks of its own (unmarked messages are echoed as they came). For the
// benchmarks: "answerer": true makes no offer and waits for one; {"type": "expect", "bytes"} counts what arrives
// instead of echoing it until that many bytes came, then answers {"type": "received"} and echoes again; {"type": "blast", "label",
// "bytes", "size"} sends that many bytes in messages of `size` and answers {"type": "blasted"}; {"type": "ping",
// "label", "size", "count"} times `count` echoed messages one after the other and answers {"type": "pings", "rtts"}
// in milliseconds; {"type": "receipts", "size"} answers each whole message with that many bytes instead of an echo
// (a chunk's receipt).
// With "report": true in "start" it is a tablet of the host: it reports each whole "VLC1" message of the control,
// input and file channels ({"type": "message", "label", "text"}, or {"type": "binary", "label", "data"} in
// base64url for the file channel; media channels only count), and {"type": "send", "label", "text"} or
// {"type": "sendBase64", "label", "data"} sends one message cut into chunks. With "video": true as well, each video
// envelope is reported by kind: {"type": "video", "label", "kind": "configuration" | "frame", "keyframe"}. With
// "record": true instead, each whole video envelope is kept with the moment its last chunk came in, and
// {"type": "videoRecords"} hands them over and forgets them: {"type": "videoRecord", "label", "receivedAt" (ms since
// the epoch, on the system's clock), "data"} each, then {"type": "videoRecorded", "count"};
// {"type": "askKeyframes", "on": true} makes it ask the host for a keyframe when a message was lost. For the
// benchmarks it also moves a file as a tablet does, confirming each piece itself: {"type": "download"} asks the host
// for one and answers {"type": "downloaded", "size", "sha256"} (the host's figures); {"type": "upload", "transferID",
// "size", "sha256"} offers `size` bytes of the pattern byte i = (i ^ i >> 8 ^ i >> 16) * 31 mod 256 (whose checksum
// it is told: the page may have no WebCrypto digest), sends them once accepted and answers {"type": "uploaded"} once
// stored.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

import { chromium } from 'playwright-core';

const pageScript = `
let pc;
let echo = true;
let vlc1 = false;
let report = false;
let video = false;
let record = false;
const videoRecords = [];  // {label, at (performance.now()), message}
let sink = false;
let received = 0;
let expected = 0;
let awaitingReply = null;
let receiptSize = null;
const channels = new Map();
function count(data) {
  received += data.byteLength;
  if (received >= expected) {
    sink = false;
    emit({type: 'received', bytes: received});
  }
}
async function blast(channel, bytes, size) {
  const message = new Uint8Array(size);
  channel.bufferedAmountLowThreshold = 1 << 20;
  for (let sent = 0; sent < bytes; sent += size) {
    if (channel.bufferedAmount > 4 << 20) {
      await new Promise((resolve) => channel.addEventListener('bufferedamountlow', resolve, {once: true}));
    }
    channel.send(message);
  }
  emit({type: 'blasted'});
}
async function ping(channel, size, times) {
  const message = new Uint8Array(size);
  const rtts = [];
  for (let i = 0; i < times; ++i) {
    const start = performance.now();
    await new Promise((resolve) => { awaitingReply = resolve; channel.send(message); });
    rtts.push(performance.now() - start);
  }
  emit({type: 'pings', rtts});
}
let nextMessageID = 0;
const assemblies = new Map();  // label + ' ' + message identifier -> {count, total, parts, received}
function sendChunked(channel, message) {
  const id = ++nextMessageID >>> 0;
  const count = Math.max(1, Math.ceil(message.byteLength / 60000));
  for (let index = 0; index < count; ++index) {
    const payload = message.subarray(index * 60000, Math.min((index + 1) * 60000, message.byteLength));
    const frame = new Uint8Array(16 + payload.byteLength);
    const view = new DataView(frame.buffer);
    frame.set([0x56, 0x4c, 0x43, 0x31]);
    view.setUint32(4, id);
    view.setUint16(8, index);
    view.setUint16(10, count);
    view.setUint32(12, message.byteLength);
    frame.set(payload, 16);
    channel.send(frame);
  }
}
// The whole message once its last chunk came, else null; an unmarked message is whole as it is.
function assemble(channel, data) {
  const bytes = new Uint8Array(data);
  if (bytes.byteLength < 16 || String.fromCharCode(...bytes.subarray(0, 4)) !== 'VLC1') return bytes;
  const view = new DataView(data);
  const key = channel.label + ' ' + view.getUint32(4);
  const index = view.getUint16(8), count = view.getUint16(10), total = view.getUint32(12);
  let assembly = assemblies.get(key);
  if (!assembly) {
    assemblies.set(key, assembly = {count, total, parts: new Array(count), received: 0, started: performance.now()});
  }
  if (!assembly.parts[index]) ++assembly.received;
  assembly.parts[index] = bytes.slice(16);
  if (assembly.received < assembly.count) return null;
  assemblies.delete(key);
  const message = new Uint8Array(assembly.total);
  let offset = 0;
  for (const part of assembly.parts) { message.set(part, offset); offset += part.byteLength; }
  return message;
}
function echoVlc1(channel, data) {
  const bytes = new Uint8Array(data);
  if (bytes.byteLength < 16 || String.fromCharCode(...bytes.subarray(0, 4)) !== 'VLC1') return channel.send(data);
  const message = assemble(channel, data);
  if (message) sendChunked(channel, receiptSize === null ? message : new Uint8Array(receiptSize));
}
function base64url(bytes) {
  let text = '';
  for (let i = 0; i < bytes.byteLength; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text).split('+').join('-').split('/').join('_').split('=').join('');
}
function fromBase64url(text) {
  const binary = atob(text.split('-').join('+').split('_').join('/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}
let transfer = null;  // the file moving now: {kind, transferID, size, done, content}
function sendControl(object) {
  sendChunked(channels.get('veltrano.control'), new TextEncoder().encode(JSON.stringify(object)));
}
async function sendUpload() {
  const channel = channels.get('veltrano.file');
  channel.bufferedAmountLowThreshold = 1 << 20;
  for (let offset = 0; offset < transfer.size; offset += 49152) {
    const payload = transfer.content.subarray(offset, Math.min(offset + 49152, transfer.size));
    const frame = new Uint8Array(56 + payload.byteLength);
    const view = new DataView(frame.buffer);
    frame.set([0x56, 0x4c, 0x46, 0x31, 1]);
    frame.set(new TextEncoder().encode(transfer.transferID), 8);
    view.setBigUint64(44, BigInt(offset));
    view.setUint32(52, payload.byteLength);
    frame.set(payload, 56);
    if (channel.bufferedAmount > 4 << 20) {
      await new Promise((resolve) => channel.addEventListener('bufferedamountlow', resolve, {once: true}));
    }
    sendChunked(channel, frame);
  }
}
function finishUpload() {
  sendControl({type: 'fileComplete', flow: 'upload', transferID: transfer.transferID, size: transfer.size,
               sha256: transfer.sha256});
}
// The transfer's own messages; false for the others.
function moveFile(label, message) {
  if (!transfer) return false;
  if (label === 'veltrano.file' && transfer.kind === 'download') {
    const view = new DataView(message.buffer, message.byteOffset, message.byteLength);
    const received = Number(view.getBigUint64(44)) + view.getUint32(52);
    sendControl({type: 'fileStatus', status: 'received', transferID: transfer.transferID, offset: received});
    return true;
  }
  if (label !== 'veltrano.control') return false;
  const command = JSON.parse(new TextDecoder().decode(message));
  if (transfer.kind === 'download' && command.type === 'fileOffer') {
    transfer.transferID = command.transferID;
    sendControl({type: 'fileAccept', transferID: command.transferID});
  } else if (transfer.kind === 'download' && command.type === 'fileComplete') {
    emit({type: 'downloaded', size: command.size, sha256: command.sha256});
    transfer = null;
  } else if (transfer.kind === 'upload' && command.type === 'fileUploadAccept') {
    sendUpload();
  } else if (transfer.kind === 'upload' && command.type === 'fileStatus' && command.status === 'received') {
    if (command.offset === transfer.size) finishUpload();
  } else if (transfer.kind === 'upload' && command.type === 'fileUploadStored') {
    emit({type: 'uploaded'});
    transfer = null;
  } else if (command.type !== 'fileStatus') {
    return false;
  }
  return true;
}
// A whole envelope: "VLV1", a type byte (1 configuration, 2 frame), a 32-bit length, the payload (a frame's first
// byte holds the keyframe flag).
function reportVideo(channel, data) {
  const message = assemble(channel, data);
  if (!message || message.byteLength < 9 || String.fromCharCode(...message.subarray(0, 4)) !== 'VLV1') return;
  if (message[4] === 1) return emit({type: 'video', label: channel.label, kind: 'configuration'});
  if (message[4] === 2 && message.byteLength > 9) {
    emit({type: 'video', label: channel.label, kind: 'frame', keyframe: (message[9] & 1) === 1});
  }
}
function recordVideo(channel, data) {
  const message = assemble(channel, data);
  if (message) videoRecords.push({label: channel.label, at: performance.now(), message});
}
// Date.now() is exact right after it ticks: performance.now() there maps the page's clock onto the system's.
function epochOffset() {
  const offsets = [];
  for (let i = 0; i < 5; ++i) {
    const before = Date.now();
    let now;
    while ((now = Date.now()) === before) {}
    offsets.push(now - performance.now());
  }
  offsets.sort((a, b) => a - b);
  return offsets[2];
}
function handOverVideoRecords() {
  const offset = epochOffset();
  const records = videoRecords.splice(0);
  for (const r of records) {
    emit({type: 'videoRecord', label: r.label, receivedAt: r.at + offset, data: base64url(r.message)});
  }
  emit({type: 'videoRecorded', count: records.length});
}
// A tablet whose decoder lost a reference asks for a keyframe. The host numbers its messages on all channels in one
// sequence: a number that has not come 50 ms after a later one was lost on an unreliable channel (the reliable ones
// repair theirs well before that). So was a video message still in pieces when a piece of a later one comes on its
// channel (one path keeps their order, and nothing is sent again), or 200 ms after its first piece.
let askKeyframes = false;
let highestID = null;
const missingSince = new Map();  // message identifier -> when a later one came
let lastKeyframeAsk = -Infinity;
function watchForLoss(label, data) {
  const bytes = new Uint8Array(data);
  if (bytes.byteLength < 16 || String.fromCharCode(...bytes.subarray(0, 4)) !== 'VLC1') return;
  const id = new DataView(data).getUint32(4);
  const now = performance.now();
  if (highestID === null || id > highestID) {
    for (let i = (highestID ?? id) + 1; i < id && missingSince.size < 10000; ++i) missingSince.set(i, now);
    highestID = id;
  } else {
    missingSince.delete(id);
  }
  let lost = false;
  for (const [missing, since] of missingSince) {
    if (now - since < 50) break;
    missingSince.delete(missing);
    lost = true;
  }
  for (const [key, assembly] of assemblies) {
    if (!key.startsWith('veltrano.video.')) continue;
    const [assemblyLabel, assemblyID] = key.split(' ');
    if ((assemblyLabel === label && Number(assemblyID) < id) || now - assembly.started >= 200) {
      assemblies.delete(key);
      lost = true;
    }
  }
  if (lost && now - lastKeyframeAsk >= 500) {
    lastKeyframeAsk = now;
    sendControl({type: 'keyframe'});
  }
}
function reportMessage(channel, data) {
  if (askKeyframes) watchForLoss(channel.label, data);
  if (channel.label.startsWith('veltrano.video.') && record) return recordVideo(channel, data);
  if (channel.label.startsWith('veltrano.video.') && video) return reportVideo(channel, data);
  if (channel.label.startsWith('veltrano.video.') || channel.label === 'veltrano.audio') return;
  const message = assemble(channel, data);
  if (!message || moveFile(channel.label, message)) return;
  if (channel.label === 'veltrano.file') return emit({type: 'binary', label: channel.label, data: base64url(message)});
  emit({type: 'message', label: channel.label, text: new TextDecoder().decode(message)});
}
function wire(channel) {
  channel.binaryType = 'arraybuffer';
  channels.set(channel.label, channel);
  channel.onclose = () => emit({type: 'close', label: channel.label});
  channel.onmessage = (event) => {
    if (awaitingReply) {
      const reply = awaitingReply;
      awaitingReply = null;
      return reply();
    }
    if (sink) return count(event.data);
    if (report) return reportMessage(channel, event.data);
    if (!echo) return;
    if (vlc1) return echoVlc1(channel, event.data);
    return channel.send(receiptSize === null ? event.data : new Uint8Array(receiptSize));
  };
  const opened = () => emit({type: 'open', label: channel.label, ordered: channel.ordered,
                             maxRetransmits: channel.maxRetransmits});
  if (channel.readyState === 'open') opened();
  else channel.onopen = opened;
}
async function sendOffer() {
  await pc.setLocalDescription(await pc.createOffer());
  emit({type: 'offer', sdp: pc.localDescription.sdp});
}
window.handle = async (message) => {
  switch (message.type) {
    case 'start':
      echo = message.echo !== false;
      vlc1 = !!message.vlc1;
      report = !!message.report;
      video = !!message.video;
      record = !!message.record;
      pc = new RTCPeerConnection();
      pc.onicecandidate = (event) => {
        if (event.candidate && event.candidate.candidate) {
          emit({type: 'candidate', candidate: event.candidate.candidate, sdpMid: event.candidate.sdpMid,
                sdpMLineIndex: event.candidate.sdpMLineIndex});
        }
      };
      pc.ondatachannel = (event) => wire(event.channel);
      pc.onconnectionstatechange = () => emit({type: 'state', state: pc.connectionState});
      for (const label of message.channels) wire(pc.createDataChannel(label));
      if (message.answerer) return;
      return sendOffer();
    case 'expect':
      sink = true;
      received = 0;
      expected = message.bytes;
      return count(new ArrayBuffer(0));
    case 'receipts':
      receiptSize = message.size;
      return;
    case 'blast':
      blast(channels.get(message.label), message.bytes, message.size);
      return;
    case 'send':
      return sendChunked(channels.get(message.label), new TextEncoder().encode(message.text));
    case 'sendBase64':
      return sendChunked(channels.get(message.label), fromBase64url(message.data));
    case 'download':
      transfer = {kind: 'download'};
      return sendControl({type: 'filePickerRequest'});
    case 'upload': {
      const content = new Uint8Array(message.size);
      for (let i = 0; i < content.byteLength; ++i) content[i] = ((i ^ (i >>> 8) ^ (i >>> 16)) * 31) & 255;
      transfer = {kind: 'upload', transferID: message.transferID, size: message.size, sha256: message.sha256,
                  content};
      return sendControl({type: 'fileUploadOffer', flow: 'upload', transferID: message.transferID,
                          name: 'bench.bin', size: message.size});
    }
    case 'videoRecords':
      return handOverVideoRecords();
    case 'askKeyframes':
      askKeyframes = !!message.on;
      return;
    case 'ping':
      ping(channels.get(message.label), message.size, message.count);
      return;
    case 'restart':
      pc.restartIce();
      return sendOffer();
    case 'pair': {
      const stats = await pc.getStats();
      const transport = [...stats.values()].find((s) => s.type === 'transport');
      const pair = transport && stats.get(transport.selectedCandidatePairId);
      const local = pair && stats.get(pair.localCandidateId);
      return emit({type: 'pair', protocol: local ? local.protocol : null});
    }
    case 'answer':
      return pc.setRemoteDescription({type: 'answer', sdp: message.sdp});
    case 'offer':
      await pc.setRemoteDescription({type: 'offer', sdp: message.sdp});
      await pc.setLocalDescription(await pc.createAnswer());
      return emit({type: 'answer', sdp: pc.localDescription.sdp});
    case 'candidate':
      return pc.addIceCandidate({candidate: message.candidate, sdpMid: message.sdpMid,
                                 sdpMLineIndex: message.sdpMLineIndex});
  }
};
`;

const profile = mkdtempSync(path.join(tmpdir(), 'tablet-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
         '--disable-sync', '--no-first-run',
         // Host candidates as addresses, not mDNS names that libnice cannot resolve.
         '--disable-features=WebRtcHideLocalIpsWithMdns'],
});
const finish = async () => {
  await context.close().catch(() => {});
  rmSync(profile, {recursive: true, force: true, maxRetries: 5});
  process.exit(0);
};
process.on('SIGTERM', finish);

const page = context.pages()[0] ?? await context.newPage();
await page.exposeFunction('emit', (message) => process.stdout.write(JSON.stringify(message) + '\n'));
await page.addScriptTag({content: pageScript});

// One message at a time, in order, as a signaling channel delivers them.
const lines = readline.createInterface({input: process.stdin, crlfDelay: Infinity});
for await (const line of lines) {
  try {
    await page.evaluate((message) => window.handle(message), JSON.parse(line));
  } catch (error) {
    process.stderr.write(`tablet: ${error}\n`);
  }
}
await finish();
