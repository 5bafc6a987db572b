"""A remote tablet played by aiortc: it logs in to the signaling service with the account key, offers a peer
connection to the computer of the account, and speaks "VLC1" on the data channels. It decodes the video of every
display it receives (PyAV) and reports what it sees. JSON lines on stdin/stdout:
in  {"type": "send", "label", "text"} | {"type": "sendBase64", "label", "data" (base64url)} | {"type": "close"}
    | {"type": "stall", "seconds"} (reads nothing for that long, then reports {"type": "stalled"})
out {"type": "state", "state"} | {"type": "open", "label"} | {"type": "message", "label", "text"}
    | {"type": "binary", "label", "data"} (base64url, file channel)
    | {"type": "video", "display", "kind": "configuration"|"frame", "keyframe", "pts" (the frame's presentation
       time, microseconds), "rgb": [r, g, b] or null, "at" (decoded, on a thread apart), "receivedAt" (whole message
       in; both time.monotonic())}
    | {"type": "audio", "kind": "configuration"|"frame"}
Arguments: signaling URL, certificate authority file, account key seed (base64url), device identifier, session."""
import asyncio
import base64
import hashlib
import json
import os
import queue
import ssl
import struct
import sys
import threading
import time

import aioice.ice
import av
import websockets
from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from aiortc.rtcsctptransport import RTCSctpCapabilities, RTCSctpTransport
from aiortc.sdp import candidate_from_sdp
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

# The host gathers on loopback with VELTRANO_ICE_LOOPBACK=1; so does this tablet.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"]
RTCSctpTransport.getCapabilities = classmethod(lambda cls: RTCSctpCapabilities(maxMessageSize=262144))

CHUNK = 60000


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


EMITTING = threading.Lock()  # the receive loop and the decoding thread both report


def emit(message):
    line = json.dumps(message) + "\n"
    with EMITTING:
        sys.stdout.write(line)
        sys.stdout.flush()


class Chunks:
    """Cuts messages into "VLC1" frames and puts arriving frames back together, per channel."""

    def __init__(self):
        self.next_id = 0
        self.parts = {}

    def frames(self, message):
        self.next_id += 1
        count = max(1, -(-len(message) // CHUNK))
        return [b"VLC1" + struct.pack(">IHHI", self.next_id, i, count, len(message)) + message[i * CHUNK:(i + 1) * CHUNK]
                for i in range(count)]

    def receive(self, label, frame):
        message_id, index, count, total = struct.unpack(">IHHI", frame[4:16])
        parts = self.parts.setdefault((label, message_id), {})
        parts[index] = frame[16:]
        if len(parts) < count:
            return None
        del self.parts[(label, message_id)]
        return b"".join(parts[i] for i in range(count))


class VideoDecoder:
    """Decodes one display's video on a thread of its own, so that the receive loop stamps every envelope as it
    arrives ("receivedAt") instead of after the decoding of the ones before it."""

    def __init__(self, display):
        self.display = display
        self.context = None
        self.envelopes = queue.SimpleQueue()
        threading.Thread(target=self.run, daemon=True).start()

    def envelope(self, data):
        self.envelopes.put((time.monotonic(), data))

    def run(self):
        while True:
            received_at, data = self.envelopes.get()
            self.decode(received_at, data)

    def decode(self, received_at, data):
        kind, length = data[4], struct.unpack(">I", data[5:9])[0]
        payload = data[9:9 + length]
        if kind == 1:
            self.context = av.CodecContext.create("h264", "r")
            self.context.extradata = payload[8:]
            emit({"type": "video", "display": self.display, "kind": "configuration"})
            return
        keyframe = bool(payload[0] & 1)
        pts = struct.unpack(">Q", payload[4:12])[0]
        rgb = None
        if self.context is not None:
            try:
                for frame in self.context.decode(av.Packet(payload[12:])):
                    pixels = frame.to_ndarray(format="rgb24")
                    centre = pixels[pixels.shape[0] // 2, pixels.shape[1] // 2]
                    rgb = [int(v) for v in centre]
            except av.AVError:
                rgb = None  # a frame the decoder cannot use yet (no keyframe before it)
        emit({"type": "video", "display": self.display, "kind": "frame", "keyframe": keyframe, "pts": pts, "rgb": rgb,
              "at": time.monotonic(), "receivedAt": received_at})


async def main():
    url, authority, seed_text, device, session = sys.argv[1:6]
    seed = b64url_decode(seed_text)
    key = Ed25519PrivateKey.from_private_bytes(seed)
    public = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    account = hashlib.sha256(public).hexdigest()
    sealing = AESGCM(HKDF(hashes.SHA256(), 32, b"Harbor payload key v2", account.encode()).derive(seed))
    ws = await websockets.connect(url, ssl=ssl.create_default_context(cafile=authority), max_size=None)

    challenge = json.loads(await ws.recv())
    text = "\n".join(["VELTRANO-AUTH-V1", challenge["nonce"], account, device, "ipad", str(challenge["issuedAt"])])
    await ws.send(json.dumps({"type": "authenticate", "accountId": account, "publicKey": b64url(public),
                              "deviceId": device, "deviceName": "Test tablet", "role": "ipad",
                              "nonce": challenge["nonce"], "signature": b64url(key.sign(text.encode()))}))
    authenticated = json.loads(await ws.recv())
    computers = [d["deviceId"] for d in authenticated.get("devices", []) if d["role"] == "mac"]
    while not computers:
        message = json.loads(await ws.recv())
        if message.get("type") == "presence" and message.get("state") == "online" and message["device"]["role"] == "mac":
            computers.append(message["device"]["deviceId"])
    host = computers[0]
    sequence = 0

    async def signal(kind, body):
        nonlocal sequence
        sequence += 1
        nonce = os.urandom(12)
        payload = b64url(nonce + sealing.encrypt(nonce, json.dumps(body).encode(), None))
        sent_at = int(time.time() * 1000)
        signed = "\n".join(["VELTRANO-SIGNAL-V1", device, host, session, kind, payload, str(sequence), str(sent_at)])
        await ws.send(json.dumps({"type": "signal", "toDeviceId": host, "sessionId": session, "kind": kind,
                                  "payload": payload, "signature": b64url(key.sign(signed.encode())),
                                  "sequence": sequence, "sentAt": sent_at}))

    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    chunks = Chunks()
    channels = {}
    decoders = {}

    def on_message(label, frame):
        message = chunks.receive(label, frame)
        if message is None:
            return
        if label.startswith("veltrano.video."):
            display = int(label.rsplit(".", 1)[1])
            decoders.setdefault(display, VideoDecoder(display)).envelope(message)
        elif label == "veltrano.audio":
            emit({"type": "audio", "kind": "configuration" if message[4] == 3 else "frame"})
        elif label == "veltrano.file":
            emit({"type": "binary", "label": label, "data": b64url(message)})
        else:
            emit({"type": "message", "label": label, "text": message.decode()})

    def wire(channel):
        channels[channel.label] = channel
        channel.on("message", lambda frame: on_message(channel.label, frame))

    @pc.on("datachannel")
    def on_datachannel(channel):
        wire(channel)
        emit({"type": "open", "label": channel.label})

    @pc.on("connectionstatechange")
    def on_state():
        emit({"type": "state", "state": pc.connectionState})

    for label in ("veltrano.control", "veltrano.input", "veltrano.file"):
        channel = pc.createDataChannel(label)
        wire(channel)
        channel.on("open", lambda label=label: emit({"type": "open", "label": label}))
    await pc.setLocalDescription(await pc.createOffer())
    await signal("offer", {"sdp": pc.localDescription.sdp})

    async def signals():
        async for raw in ws:
            message = json.loads(raw)
            if message.get("type") != "signal" or message.get("sessionId") != session:
                continue
            box = b64url_decode(message["payload"])
            body = json.loads(sealing.decrypt(box[:12], box[12:], None))
            if message["kind"] == "answer":
                await pc.setRemoteDescription(RTCSessionDescription(body["sdp"], "answer"))
            elif message["kind"] == "candidate" and body.get("sdp"):
                sdp = body["sdp"]
                candidate = candidate_from_sdp(sdp.split(":", 1)[1] if sdp.startswith("candidate:") else sdp)
                candidate.sdpMid = body.get("sdpMid", "0")
                candidate.sdpMLineIndex = body.get("sdpMLineIndex", 0)
                await pc.addIceCandidate(candidate)

    async def commands():
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader(limit=1 << 26)
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        while line := await reader.readline():
            command = json.loads(line)
            if command["type"] == "close":
                break
            if command["type"] == "stall":
                time.sleep(command["seconds"])  # reads nothing meanwhile: the host's sends pile up
                emit({"type": "stalled"})
                continue
            data = command["text"].encode() if "text" in command else b64url_decode(command["data"])
            for frame in chunks.frames(data):
                channels[command["label"]].send(frame)

    listening = asyncio.ensure_future(signals())
    await commands()
    listening.cancel()
    await pc.close()
    await ws.close()


if __name__ == "__main__":
    asyncio.run(main())
