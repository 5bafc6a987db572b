"""A tablet played by aiortc: it offers, opens the channels it is told to, and echoes every message on the channel
it came in on. JSON lines on stdin/stdout, the same as the Chromium tablet:
in  {"type": "start", "channels": [...], "echo": true (default) or false}, {"type": "answer"|"offer", "sdp"},
    {"type": "candidate", ...};
out {"type": "offer"|"answer", "sdp"}, {"type": "open", "label", ...}, {"type": "close", "label"},
    {"type": "state", "state"}.
With "vlc1": true in "start" it speaks "VLC1" as a tablet does: it puts each message's chunks together and echoes the
whole message cut into chunks of its own (unmarked messages are echoed as they came). For the benchmarks, the same
"answerer", "expect", "blast" and "ping" as the Chromium tablet."""
import asyncio
import json
import struct
import sys

from aiortc import RTCPeerConnection, RTCSessionDescription
from aiortc.rtcsctptransport import RTCSctpCapabilities, RTCSctpTransport
from aiortc.sdp import candidate_from_sdp

# aiortc reassembles messages of any size but advertises 64 KiB; our tablets accept 256 KiB.
RTCSctpTransport.getCapabilities = classmethod(lambda cls: RTCSctpCapabilities(maxMessageSize=262144))


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


class Vlc1Echo:
    def __init__(self):
        self.next_id = 0
        self.assemblies = {}  # (label, message identifier) -> [count, total, {index: payload}]

    def send_chunked(self, channel, message):
        self.next_id = (self.next_id + 1) & 0xFFFFFFFF
        count = max(1, -(-len(message) // 60000))
        for index in range(count):
            payload = message[index * 60000:(index + 1) * 60000]
            channel.send(b"VLC1" + struct.pack(">IHHI", self.next_id, index, count, len(message)) + payload)

    def echo(self, channel, data):
        if isinstance(data, str) or len(data) < 16 or data[:4] != b"VLC1":
            channel.send(data)
            return
        message_id, index, count, total = struct.unpack(">IHHI", data[4:16])
        assembly = self.assemblies.setdefault((channel.label, message_id), [count, total, {}])
        assembly[2][index] = data[16:]
        if len(assembly[2]) < assembly[0]:
            return
        del self.assemblies[(channel.label, message_id)]
        self.send_chunked(channel, b"".join(assembly[2][i] for i in range(assembly[0])))


echoing = [True]
vlc1 = None
sink = None  # [bytes received, bytes expected]
awaiting_reply = None
channels = {}


def on_message(channel, message):
    global awaiting_reply
    if awaiting_reply is not None:
        awaiting_reply.set_result(None)
        awaiting_reply = None
    elif sink is not None:
        count(len(message))
    elif not echoing[0]:
        return
    elif vlc1:
        vlc1.echo(channel, message)
    else:
        channel.send(message)


def count(size):
    global sink
    sink[0] += size
    if sink[0] >= sink[1]:
        emit({"type": "received", "bytes": sink[0]})
        sink = None


async def blast(channel, total, size):
    message = bytes(size)
    low = asyncio.Event()
    channel.bufferedAmountLowThreshold = 1 << 20
    channel.on("bufferedamountlow", low.set)
    for _ in range(0, total, size):
        while channel.bufferedAmount > 4 << 20:
            low.clear()
            await low.wait()
        channel.send(message)
    emit({"type": "blasted"})


async def ping(channel, size, times):
    global awaiting_reply
    loop = asyncio.get_running_loop()
    rtts = []
    for _ in range(times):
        start = loop.time()
        awaiting_reply = loop.create_future()
        channel.send(bytes(size))
        await awaiting_reply
        rtts.append((loop.time() - start) * 1000)
    emit({"type": "pings", "rtts": rtts})


def wire(channel):
    channels[channel.label] = channel
    channel.on("message", lambda message: on_message(channel, message))
    channel.on("open", lambda: emit(opened(channel)))
    channel.on("close", lambda: emit({"type": "close", "label": channel.label}))


def opened(channel):
    return {"type": "open", "label": channel.label, "ordered": channel.ordered, "maxRetransmits": channel.maxRetransmits}


async def main():
    global vlc1, sink
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=1 << 24)
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    pc = RTCPeerConnection()
    tasks = set()  # kept until the end, so that they are not collected while they run

    @pc.on("datachannel")
    def on_datachannel(channel):
        wire(channel)
        emit(opened(channel))

    @pc.on("connectionstatechange")
    def on_state():
        emit({"type": "state", "state": pc.connectionState})

    while line := await reader.readline():
        message = json.loads(line)
        kind = message["type"]
        if kind == "start":
            echoing[0] = message.get("echo", True)
            vlc1 = Vlc1Echo() if message.get("vlc1") else None
            for label in message["channels"]:
                wire(pc.createDataChannel(label))
            if message.get("answerer"):
                continue
            await pc.setLocalDescription(await pc.createOffer())
            emit({"type": "offer", "sdp": pc.localDescription.sdp})
        elif kind == "answer":
            await pc.setRemoteDescription(RTCSessionDescription(message["sdp"], "answer"))
        elif kind == "offer":
            await pc.setRemoteDescription(RTCSessionDescription(message["sdp"], "offer"))
            await pc.setLocalDescription(await pc.createAnswer())
            emit({"type": "answer", "sdp": pc.localDescription.sdp})
        elif kind == "expect":
            sink = [0, message["bytes"]]
            count(0)
        elif kind == "blast":
            tasks.add(asyncio.ensure_future(blast(channels[message["label"]], message["bytes"], message["size"])))
        elif kind == "ping":
            tasks.add(asyncio.ensure_future(ping(channels[message["label"]], message["size"], message["count"])))
        elif kind == "candidate" and message["candidate"]:
            candidate = candidate_from_sdp(message["candidate"].split(":", 1)[1])
            candidate.sdpMid = message.get("sdpMid")
            candidate.sdpMLineIndex = message.get("sdpMLineIndex")
            await pc.addIceCandidate(candidate)
    await pc.close()


asyncio.run(main())
