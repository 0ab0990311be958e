# A TLS 1.2 server on 127.0.0.1 that sends its last handshake flight and a first record of data in
# one write, so a client receives both in one read. Prints its port, then serves until no client
# has come for a minute.
#   TlsGreeter.py CERT.pem KEY.pem
import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
ctx.maximum_version = ssl.TLSVersion.TLSv1_2
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(4)
print(srv.getsockname()[1], flush=True)
srv.settimeout(60)
while True:
    try:
        conn, _ = srv.accept()
    except OSError:
        break
    conn.settimeout(10)
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(inc, out, server_side=True)
    try:
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pending = out.read()
                if pending:
                    conn.sendall(pending)
                chunk = conn.recv(16384)
                if not chunk:
                    raise OSError("closed")
                inc.write(chunk)
        tls.write(b"greeting")
        conn.sendall(out.read())
        conn.recv(16384)
    except (OSError, ssl.SSLError):
        pass
    conn.close()
