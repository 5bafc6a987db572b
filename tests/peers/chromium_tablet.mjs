// A tablet played by headless Chromium (Debian's, driven by playwright-core over a pipe): the page offers, opens
// the channels it is told to, trickles its candidates, restarts ICE on request, and echoes every message on the
// channel it came in on (unless "start" says "echo": false). JSON lines on stdin/stdout, the same as the aiortc
// tablet, plus {"type": "restart"}.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

import { chromium } from 'playwright-core';

const pageScript = `
let pc;
let echo = true;
function wire(channel) {
  channel.binaryType = 'arraybuffer';
  channel.onmessage = (event) => { if (echo) channel.send(event.data); };
  channel.onclose = () => emit({type: 'close', label: channel.label});
  if (channel.readyState === 'open') emit({type: 'open', label: channel.label});
  else channel.onopen = () => emit({type: 'open', label: channel.label});
}
async function sendOffer() {
  await pc.setLocalDescription(await pc.createOffer());
  emit({type: 'offer', sdp: pc.localDescription.sdp});
}
window.handle = async (message) => {
  switch (message.type) {
    case 'start':
      echo = message.echo !== false;
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
      return sendOffer();
    case 'restart':
      pc.restartIce();
      return sendOffer();
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
