"""Baseline of the idle-peer benchmark: PAIRS pairs of aiortc peers in this process, connected over the host's
addresses with one open data channel each, then idle. Prints "base" once aiortc is loaded and waits for a line,
prints "ready" once every pair is connected, and exits when stdin closes."""
import asyncio
import sys

from aiortc import RTCPeerConnection


async def connected_pair():
    offerer, answerer = RTCPeerConnection(), RTCPeerConnection()
    opened = asyncio.get_running_loop().create_future()
    channel = offerer.createDataChannel("ctl")
    channel.on("open", lambda: opened.done() or opened.set_result(True))
    await offerer.setLocalDescription(await offerer.createOffer())
    await answerer.setRemoteDescription(offerer.localDescription)
    await answerer.setLocalDescription(await answerer.createAnswer())
    await offerer.setRemoteDescription(answerer.localDescription)
    await asyncio.wait_for(opened, 30)
    return offerer, answerer


async def main():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    print("base", flush=True)
    pairs = int(await reader.readline())
    peers = [await connected_pair() for _ in range(pairs)]
    print("ready", flush=True)
    await reader.read()
    for pair in peers:
        for peer in pair:
            await peer.close()


asyncio.run(main())
