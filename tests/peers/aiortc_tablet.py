"""A tablet played by aiortc: it offers, opens the channels it is told to, and echoes every message on the channel
it came in on. JSON lines on stdin/stdout, the same as the Chromium tablet:
in  {"type": "start", "channels": [...], "echo": true (default) or false}, {"type": "answer"|"offer", "sdp"},
    {"type": "candidate", ...};
out {"type": "offer"|"answer", "sdp"}, {"type": "open"|"close", "label"}, {"type": "state", "state"}."""
import asyncio
import json
import sys

from aiortc import RTCPeerConnection, RTCSessionDescription
from aiortc.rtcsctptransport import RTCSctpCapabilities, RTCSctpTransport
from aiortc.sdp import candidate_from_sdp

# aiortc reassembles messages of any size but advertises 64 KiB; our tablets accept 256 KiB.
RTCSctpTransport.getCapabilities = classmethod(lambda cls: RTCSctpCapabilities(maxMessageSize=262144))


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


echoing = [True]


def wire(channel):
    channel.on("message", lambda message: echoing[0] and channel.send(message))
    channel.on("open", lambda: emit({"type": "open", "label": channel.label}))
    channel.on("close", lambda: emit({"type": "close", "label": channel.label}))


async def main():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=1 << 24)
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    pc = RTCPeerConnection()

    @pc.on("datachannel")
    def on_datachannel(channel):
        wire(channel)
        emit({"type": "open", "label": channel.label})

    @pc.on("connectionstatechange")
    def on_state():
        emit({"type": "state", "state": pc.connectionState})

    while line := await reader.readline():
        message = json.loads(line)
        kind = message["type"]
        if kind == "start":
            echoing[0] = message.get("echo", True)
            for label in message["channels"]:
                wire(pc.createDataChannel(label))
            await pc.setLocalDescription(await pc.createOffer())
            emit({"type": "offer", "sdp": pc.localDescription.sdp})
        elif kind == "answer":
            await pc.setRemoteDescription(RTCSessionDescription(message["sdp"], "answer"))
        elif kind == "offer":
            await pc.setRemoteDescription(RTCSessionDescription(message["sdp"], "offer"))
            await pc.setLocalDescription(await pc.createAnswer())
            emit({"type": "answer", "sdp": pc.localDescription.sdp})
        elif kind == "candidate" and message["candidate"]:
            candidate = candidate_from_sdp(message["candidate"].split(":", 1)[1])
            candidate.sdpMid = message.get("sdpMid")
            candidate.sdpMLineIndex = message.get("sdpMLineIndex")
            await pc.addIceCandidate(candidate)
    await pc.close()


asyncio.run(main())
