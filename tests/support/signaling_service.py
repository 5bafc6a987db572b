#!/usr/bin/python3
"""A local signaling service for tests: wss on 127.0.0.1 (or the address given after the folder) with a certificate
authority made at start.

It challenges each connection, checks the answer's Ed25519 signature against the public key it carries, keeps the
online devices of each account, relays signals and reports presence. It prints one event per line on stdout and
takes commands on stdin; closing stdin ends it.

Events:   ready <port> | connected <name> | authenticated <deviceId> | message <deviceId> <json>
          | closed <name> <code> <reason>
Commands: send <name> <text> | blob <name> <bytes> [after ms] | drop <name> | stall <name> | drop-after-auth on|off
A <name> is a connection's number ("c1", ...) or, once authenticated, its device identifier.
"""
import asyncio, base64, datetime, hashlib, ipaddress, json, os, secrets, sys, threading, time

import websockets
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
from cryptography.x509.oid import NameOID
import ssl

PATH = "/veltrano/v1/signal"


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def make_authority(common_name):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(key, hashes.SHA256()))
    return key, cert


def make_server_certificate(ca_key, ca_cert, address):
    # Only an address given is named: tests also reach the default one by an address the certificate must not name.
    # signaling.veltrano.test is for tests that reach the service by a name in a hosts file of their own.
    names = [x509.DNSName("localhost"), x509.DNSName("signaling.veltrano.test")]
    names += [x509.IPAddress(ipaddress.ip_address(address))] if address else []
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
            .issuer_name(ca_cert.subject).public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


def pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


class Service:
    def __init__(self):
        self.connections = {}   # name -> websocket
        self.accounts = {}      # deviceId -> (accountId, device record)
        self.counter = 0
        self.drop_after_auth = False

    def emit(self, *words):
        try:
            print(" ".join(str(w) for w in words), flush=True)
        except BrokenPipeError:
            pass  # the test has finished reading

    def online(self, account, but=None):
        return [rec for dev, (acc, rec) in self.accounts.items() if acc == account and dev != but]

    async def broadcast(self, account, but, message):
        for dev, (acc, _) in list(self.accounts.items()):
            if acc == account and dev != but and dev in self.connections:
                try:
                    await self.connections[dev].send(json.dumps(message))
                except websockets.ConnectionClosed:
                    pass

    async def handle(self, ws):
        self.counter += 1
        name = "c%d" % self.counter
        self.connections[name] = ws
        self.emit("connected", name)
        device = None
        try:
            if ws.path != PATH:
                await ws.close(1008, "unknown path")
                return
            nonce = secrets.token_hex(16)
            issued = int(time.time())
            await ws.send(json.dumps({"type": "challenge", "protocolVersion": 1, "nonce": nonce,
                                      "issuedAt": issued, "expiresAt": issued + 60}))
            auth = json.loads(await ws.recv())
            public = b64url_decode(auth["publicKey"])
            account = hashlib.sha256(public).hexdigest()
            text = "\n".join(["VELTRANO-AUTH-V1", auth["nonce"], auth["accountId"], auth["deviceId"], auth["role"],
                              str(issued)])
            try:
                if auth["accountId"] != account or auth["nonce"] != nonce:
                    raise InvalidSignature()
                Ed25519PublicKey.from_public_bytes(public).verify(b64url_decode(auth["signature"]), text.encode())
            except InvalidSignature:
                await ws.send(json.dumps({"type": "error", "code": "unauthorized"}))
                await ws.close(1008, "unauthorized")
                return
            device = auth["deviceId"]
            record = {"deviceId": device, "deviceName": auth["deviceName"], "role": auth["role"]}
            await ws.send(json.dumps({"type": "authenticated", "devices": self.online(account, but=device),
                                      "iceServers": [{"urls": ["stun:127.0.0.1:3478"]}]}))
            self.connections[device] = ws
            self.accounts[device] = (account, record)
            self.emit("authenticated", device)
            await self.broadcast(account, device, {"type": "presence", "state": "online", "device": record})
            if self.drop_after_auth:
                await ws.close(1011, "dropped")
                return
            async for raw in ws:
                message = json.loads(raw)
                self.emit("message", device, json.dumps(message, separators=(",", ":")))
                if message.get("type") == "signal":
                    target = self.connections.get(message["toDeviceId"])
                    if target is None or self.accounts.get(message["toDeviceId"], (None,))[0] != account:
                        await ws.send(json.dumps({"type": "error", "code": "peer_offline"}))
                        continue
                    relayed = {k: message[k] for k in ("sessionId", "kind", "payload", "signature", "sequence",
                                                       "sentAt")}
                    relayed.update({"type": "signal", "fromDeviceId": device})
                    await target.send(json.dumps(relayed))
        except websockets.ConnectionClosed:
            pass
        finally:
            self.emit("closed", device or name, ws.close_code, ws.close_reason or "-")
            self.connections.pop(name, None)
            if device and self.connections.get(device) is ws:
                self.connections.pop(device, None)
                account, record = self.accounts.pop(device)
                await self.broadcast(account, device, {"type": "presence", "state": "offline", "device": record})

    async def command(self, line):
        verb, _, rest = line.partition(" ")
        if verb == "drop-after-auth":
            self.drop_after_auth = rest == "on"
            return
        name, _, argument = rest.partition(" ")
        ws = self.connections.get(name)
        if ws is None:
            self.emit("unknown", name)
            return
        if verb == "send":
            await ws.send(argument)
        elif verb == "blob":
            size, _, delay = argument.partition(" ")
            await asyncio.sleep(int(delay or 0) / 1000)
            await ws.send(b"x" * int(size))
        elif verb == "drop":
            ws.transport.abort()
        elif verb == "stall":
            ws.transport.pause_reading()
            self.emit("stalled", name)


async def main():
    folder = sys.argv[1]
    address = sys.argv[2] if len(sys.argv) > 2 else None
    ca_key, ca_cert = make_authority("Veltrano Test Authority")
    _, other_cert = make_authority("Unrelated Test Authority")
    key, cert = make_server_certificate(ca_key, ca_cert, address)
    with open(os.path.join(folder, "ca.pem"), "wb") as f:
        f.write(pem(ca_cert))
    with open(os.path.join(folder, "other-ca.pem"), "wb") as f:
        f.write(pem(other_cert))
    with open(os.path.join(folder, "server.pem"), "wb") as f:
        f.write(pem(cert) + key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                              serialization.NoEncryption()))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "server.pem"))

    service = Service()
    loop = asyncio.get_running_loop()
    finished = loop.create_future()

    def read_commands():
        for line in sys.stdin:
            loop.call_soon_threadsafe(lambda l=line.rstrip("\n"): asyncio.ensure_future(service.command(l)))
        loop.call_soon_threadsafe(lambda: finished.done() or finished.set_result(None))

    async with websockets.serve(service.handle, address or "127.0.0.1", 0, ssl=context, max_size=None) as server:
        service.emit("ready", server.sockets[0].getsockname()[1])
        threading.Thread(target=read_commands, daemon=True).start()
        await finished


if __name__ == "__main__":
    asyncio.run(main())
