"""An ICE agent (aioice) that echoes every datagram it receives. JSON lines on stdin/stdout:
out {"type": "local", "ufrag", "pwd", "candidates"} after gathering, {"type": "connected"} once checks succeed;
in {"type": "remote", "ufrag", "pwd", "candidates"} to connect, {"type": "restart"} for a new generation."""
import asyncio
import json
import sys

import aioice


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


async def echo(connection):
    while True:
        try:
            data = await connection.recv()
        except ConnectionError:
            return
        await connection.send(data)


async def main():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    connection = None
    echoing = None

    async def start():
        nonlocal connection
        connection = aioice.Connection(ice_controlling=True)
        await connection.gather_candidates()
        emit({"type": "local", "ufrag": connection.local_username, "pwd": connection.local_password,
              "candidates": ["candidate:" + c.to_sdp() for c in connection.local_candidates]})

    async def connect(message):
        nonlocal echoing
        connection.remote_username = message["ufrag"]
        connection.remote_password = message["pwd"]
        for line in message["candidates"]:
            await connection.add_remote_candidate(aioice.Candidate.from_sdp(line.split(":", 1)[1]))
        await connection.add_remote_candidate(None)
        await connection.connect()
        emit({"type": "connected"})
        echoing = asyncio.ensure_future(echo(connection))

    await start()
    while line := await reader.readline():
        message = json.loads(line)
        if message["type"] == "remote":
            asyncio.ensure_future(connect(message))
        elif message["type"] == "restart":
            if echoing:
                echoing.cancel()
            await connection.close()
            await start()


asyncio.run(main())
