#!/usr/bin/python3
"""An instant-message client for the tests: logs in to an XMPP server and records what it gets.

Connects to --host/--port as --jid with --password (no TLS: the test server is on the
loopback), announces itself available, and appends every chat message it receives to
--record-file as one JSON line {"from": bare JID, "body": text}. Writes --ready-file once it
is online. Ends on SIGTERM or when its standard input closes.
"""
import argparse
import asyncio
import json
import os
import signal
import sys

import slixmpp


class Receiver(slixmpp.ClientXMPP):
    def __init__(self, jid, password, record, ready):
        super().__init__(jid, password)
        self.record = record
        self.ready = ready
        self.add_event_handler('session_start', self.started)
        self.add_event_handler('message', self.received)
        self.add_event_handler('failed_auth', lambda _: self.loop.stop())

    async def started(self, _):
        self.send_presence()
        # The server handles one session's stanzas in order: once the roster answer is back,
        # it has taken the presence too, and a message sent now finds this client online.
        await self.get_roster()
        with open(self.ready + '.tmp', 'w') as f:
            f.write('ready')
        os.rename(self.ready + '.tmp', self.ready)

    def received(self, msg):
        if msg['type'] not in ('chat', 'normal'):
            return
        with open(self.record, 'a', encoding='utf-8') as f:
            f.write(json.dumps({'from': msg['from'].bare, 'body': msg['body']},
                               ensure_ascii=False) + '\n')


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--jid', required=True)
    p.add_argument('--password', required=True)
    p.add_argument('--host', default='127.0.0.1')
    p.add_argument('--port', type=int, required=True)
    p.add_argument('--record-file', required=True)
    p.add_argument('--ready-file', required=True)
    a = p.parse_args()
    client = Receiver(a.jid, a.password, a.record_file, a.ready_file)
    # The loopback test server has no certificate.
    client.connect((a.host, a.port), use_ssl=False, force_starttls=False, disable_starttls=True)
    loop = client.loop
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_reader(sys.stdin.fileno(), lambda: loop.stop() if not os.read(0, 1) else None)
    loop.run_forever()


if __name__ == '__main__':
    main()
