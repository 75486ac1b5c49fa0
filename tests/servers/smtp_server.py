#!/usr/bin/python3
"""A mail server for the tests, on 127.0.0.1 and a free port.

Writes the port it listens on to --port-file once it accepts connections, and every mail it
accepts to --record-dir as mail-NNN.data (the raw DATA bytes) and mail-NNN.env (lines: the
login used, the envelope sender, then one recipient a line); the .env file appears last. Modes:
  normal  AUTH LOGIN against --login/--password when a login is given, otherwise no AUTH
  close   closes the connection right after the EHLO reply
  silent  accepts connections and never says anything
  slow    waits --delay seconds before the greeting
With --tls-cert and --tls-key the server offers STARTTLS and takes AUTH only inside TLS.
Ends on SIGTERM or when its standard input closes.
"""
import argparse
import asyncio
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        login = session.auth_data.login.decode('latin-1') if isinstance(
            session.auth_data, LoginPassword) else ''
        path = os.path.join(self.directory, 'mail-%03d' % self.count)
        with open(path + '.data', 'wb') as f:
            f.write(envelope.original_content)
        with open(path + '.tmp', 'w') as f:
            f.write('\n'.join([login, envelope.mail_from] + list(envelope.rcpt_tos)) + '\n')
        os.rename(path + '.tmp', path + '.env')
        return '250 OK'


class ClosingSMTP(SMTP):
    async def smtp_EHLO(self, hostname):
        await super().smtp_EHLO(hostname)
        self.transport.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--port-file', required=True)
    p.add_argument('--record-dir', required=True)
    p.add_argument('--mode', default='normal')
    p.add_argument('--login', default='')
    p.add_argument('--password', default='')
    p.add_argument('--delay', type=float, default=0)
    p.add_argument('--tls-cert', default='')
    p.add_argument('--tls-key', default='')
    a = p.parse_args()
    tls = None
    if a.tls_cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(a.tls_cert, a.tls_key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (mechanism == 'LOGIN' and isinstance(auth_data, LoginPassword) and
              auth_data.login.decode() == a.login and auth_data.password.decode() == a.password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    loop = asyncio.new_event_loop()
    recorder = Recorder(a.record_dir)

    def factory():
        kwargs = dict(hostname='test.smtp', auth_require_tls=tls is not None,
                      auth_exclude_mechanism=['PLAIN'])
        if tls:
            kwargs.update(tls_context=tls, require_starttls=True)
        if a.login:
            kwargs.update(authenticator=authenticator, auth_required=True)
        cls = ClosingSMTP if a.mode == 'close' else SMTP
        return cls(recorder, **kwargs)

    async def silent(reader, writer):
        await reader.read()
        writer.close()

    async def slow(reader, writer):
        await asyncio.sleep(a.delay)
        protocol = factory()
        # Hand the connection to a normal server once the delay is over.
        transport = writer.transport
        transport.set_protocol(protocol)
        protocol.connection_made(transport)

    async def start():
        if a.mode == 'silent':
            return await asyncio.start_server(silent, '127.0.0.1', 0)
        if a.mode == 'slow':
            return await asyncio.start_server(slow, '127.0.0.1', 0)
        return await loop.create_server(factory, '127.0.0.1', 0)

    server = loop.run_until_complete(start())
    port = server.sockets[0].getsockname()[1]
    with open(a.port_file + '.tmp', 'w') as f:
        f.write(str(port))
    os.rename(a.port_file + '.tmp', a.port_file)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_reader(sys.stdin.fileno(), lambda: loop.stop() if not os.read(0, 1) else None)
    loop.run_forever()


if __name__ == '__main__':
    main()
