// Another program on this computer that takes the switchboard's port, as soon as it is free, and
// answers every request as a host would love to hear: its challenge "proven", a viewer waiting
// for it. Everything it receives is appended to a log for the test to read.
//
//   node squatter.mjs <port> <log file> <seconds to live>
//
// Listens on 127.0.0.1 only, prints "squatting" once it holds the port, and stops by itself.

import { appendFileSync } from 'node:fs';
import http from 'node:http';

const [portText, log, lifeText] = process.argv.slice(2);
const port = Number(portText);
setTimeout(() => process.exit(0), Number(lifeText) * 1000).unref();

const ANSWER = JSON.stringify({
    ok: true,
    proof: '0'.repeat(64),
    pending: { sessionId: 'squatted', sessionToken: 'squatted', clientName: 'Another local user' },
});

const server = http.createServer((request, response) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => {
        appendFileSync(log, Buffer.concat([
            Buffer.from(`${request.method} ${request.url}\n${JSON.stringify(request.headers)}\n`),
            ...chunks,
            Buffer.from('\n'),
        ]));
        response.writeHead(200, { 'Content-Type': 'application/json' });
        response.end(ANSWER);
    });
});

// Taken the moment whoever holds it lets go.
server.on('error', (error) => {
    if (error.code === 'EADDRINUSE') setTimeout(() => server.listen(port, '127.0.0.1'), 20);
    else process.exit(1);
});
server.on('listening', () => process.stdout.write('squatting\n'));
appendFileSync(log, '');
server.listen(port, '127.0.0.1');
