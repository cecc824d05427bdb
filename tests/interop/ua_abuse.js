// Abuse suite: each row runs one attack on uademo (10 000 variables) with a bounded count
// and time, and checks that meanwhile a well-behaved node-opcua client still connects,
// reads and subscribes, that the server's peak resident memory stays under the row's
// bound, and that the attack's own connections end up refused or closed (or, where the
// server answers instead, that its requests are refused).
//
//   node ua_abuse.js <row> <path to uademo>
//
// Every row prints "figures <row> peakRssMB=<n> maxStepMs=<n> maxStepCpuMs=<n>": the
// server's peak resident memory and its longest run step (uasRunIntv) since it started,
// in elapsed and in CPU time (elapsed time also counts other processes on the machine). Short
// time-outs come from uademo's --limit options; the library's defaults are longer.
"use strict";
const assert = require("node:assert/strict");
const childProcess = require("node:child_process");
const crypto = require("node:crypto");
const fs = require("node:fs");
const path = require("node:path");
const { opcua, SKIP, sleep, withTimeout, startServer, makeClient, home } = require("./lib/harness");
const { RawClient, ID } = require("./lib/raw_client");

const VARS = 10000;
const genName = (i) => `Gen.F${Math.floor(i / 100)}.V${i}`;
const allVars = Array.from({ length: VARS }, (_, i) => genName(i));
const SHORT = ["--limit", "activateTimeoutMs=3000", "--limit", "orphanGraceMs=1500", "--limit", "idleConnectionMs=3000"];

// Opens `count` raw connections spread over `peers` loopback addresses.
async function connectMany(port, count, peers = 1) {
  return Promise.all(Array.from({ length: count }, (_, i) => RawClient.connect(port, `127.0.0.${2 + (i % peers)}`)));
}
// Waits until every attack connection is closed; how many stayed open.
async function waitClosed(conns, ms) {
  const until = Date.now() + ms;
  while (conns.some((c) => !c.closed) && Date.now() < until) await sleep(100);
  return conns.filter((c) => !c.closed).length;
}
const allClosed = async (conns, ms = 20000) => assert.equal(await waitClosed(conns, ms), 0, "attack connections left open");

function serverKeyPair() {
  const dir = fs.mkdtempSync(path.join(home, "cert-"));
  const pem = path.join(dir, "cert.pem"), keyPem = path.join(dir, "key.pem");
  const r = childProcess.spawnSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
    "-subj", "/CN=uademo", "-keyout", keyPem, "-out", pem], { encoding: "utf8" });
  if (r.error || r.status !== 0) {
    console.log(`SKIP: openssl cannot make a certificate: ${r.error || r.stderr}`);
    process.exit(SKIP);
  }
  const cert = path.join(dir, "cert.der"), key = path.join(dir, "key.der");
  childProcess.execFileSync("openssl", ["x509", "-in", pem, "-outform", "DER", "-out", cert]);
  childProcess.execFileSync("openssl", ["pkey", "-in", keyPem, "-outform", "DER", "-out", key]);
  return { cert, key, publicKey: crypto.createPublicKey(fs.readFileSync(pem)) };
}

// The attacks. `start` reaches the attack's hold on the server and returns its
// connections; `check` runs after the well-behaved client and asserts the outcome.
const ROWS = {
  // Connections that open a channel and then trickle one byte now and then.
  slow_clients: {
    memMB: 150,
    async start(server) {
      const conns = await connectMany(server.port, 256, 8);
      await Promise.all(conns.map((c) => c.handshake()));
      const timer = setInterval(() => conns.forEach((c) => c.send(Buffer.from("M"))), 500);
      conns.stop = () => clearInterval(timer);
      return conns;
    },
    check: (server, conns) => allClosed(conns),
  },
  // Sessions created with a one-hour time-out and never activated.
  idle_sessions: {
    memMB: 150,
    async start(server) {
      const conns = await connectMany(server.port, 10, 2);
      await Promise.all(conns.map(async (c) => {
        if (!(await c.handshake())) return;
        for (let i = 0; i < 20 && !c.closed; ++i) await c.createSession();
      }));
      return conns;
    },
    async check(server, conns) {
      await allClosed(conns);
      await server.waitStats((s) => s.sessions === 0, 10000, "unactivated sessions dropped");
    },
  },
  // Publish requests that carry a million acknowledgements each.
  publish_acks: {
    memMB: 150,
    async start(server) {
      const c = await RawClient.connect(server.port);
      assert.ok(await c.login(), "attacker login");
      const sub = await c.subscription();
      const body = RawClient.publishBody(sub, 1000000);
      for (let i = 0; i < 20 && !c.closed; ++i) await c.sendDrained(c.request(ID.Publish, body));
      return [c];
    },
    async check(server, [c]) {
      // Each answer is a ServiceFault (397) with BadTooManyOperations, or the connection closed.
      let faults = 0;
      for (let r; faults < 20 && (r = await c.next(10000)); ++faults) {
        const typeId = r.body.readUInt16LE(2);  // four-byte NodeId: 01 00 <UInt16>
        const result = r.body.readUInt32LE(16);  // after the time stamp and request handle
        assert.equal(typeId, 397, "publish answered with a fault");
        assert.equal(result, 0x80100000, "BadTooManyOperations");
      }
      assert.ok(faults === 20 || c.closed, `${faults} of 20 publish requests refused`);
    },
  },
  // A channel renewed in a loop, each renewal as soon as the last one is answered (on a
  // secured channel each is RSA work): a few are answered, then the channel is closed
  // with BadRequestNotAllowed.
  renew_loop: {
    memMB: 150,
    async start(server) {
      const c = await RawClient.connect(server.port);
      assert.ok(await c.handshake(), "attacker channel");
      c.renewed = 0;
      for (let i = 0; i < 50 && !c.closed; ++i) {
        await c.sendDrained(c.openRequest(1));
        c.last = await c.next(10000);
        if (c.last?.type !== "OPN") break;
        ++c.renewed;
      }
      return [c];
    },
    async check(server, [c]) {
      assert.equal(c.last?.type, "ERR", "the loop ends with an Error message");
      assert.equal(c.last.body.readUInt32LE(0), 0x80e40000, "BadRequestNotAllowed");
      assert.ok(c.renewed <= 3, `${c.renewed} of 50 renewals answered`);
      await allClosed([c]);
    },
  },
  // Multi-chunk messages that never get their final chunk: 8 clients with a session
  // start 16 MB messages each, 4 connections without one start 2.6 MB messages.
  unfinished_chunks: {
    memMB: 120,
    async start(server) {
      const conns = await connectMany(server.port, 12, 4);
      assert.ok((await Promise.all(conns.map((c, k) => (k < 8 ? c.login() : c.handshake())))).every(Boolean), "attacker logins");
      await Promise.all(conns.map((c, k) => c.sendDrained(c.request(ID.Read, Buffer.alloc((k < 8 ? 250 : 40) * 65000), false))));
      return conns;
    },
    check: (server, conns) => allClosed(conns),
  },
  // Large Reads whose answers are never read.
  unread_responses: {
    memMB: 200,
    async start(server) {
      const conns = await connectMany(server.port, 16, 4);
      const body = RawClient.readBody(allVars);
      assert.ok((await Promise.all(conns.map((c) => c.login()))).every(Boolean), "attacker logins");
      await Promise.all(conns.map(async (c) => {
        c.socket.pause();
        for (let i = 0; i < 60 && !c.closed; ++i) {
          c.send(c.request(ID.Read, body));
          await sleep(5);
        }
      }));
      return conns;
    },
    // A client that reads nothing is cut off once its output stopped moving.
    check: (server, conns) => allClosed(conns),
  },
  // UserName tokens whose password is thousands of valid RSA blocks.
  big_token: {
    memMB: 150,
    user: true,
    async start(server) {
      const block = crypto.publicEncrypt({ key: server.keys.publicKey, padding: crypto.constants.RSA_PKCS1_OAEP_PADDING }, Buffer.alloc(100, 7));
      const secret = Buffer.concat(Array(2000).fill(block));
      const token = RawClient.userToken("u", secret, "http://www.w3.org/2001/04/xmlenc#rsa-oaep");
      const conns = await connectMany(server.port, 2);
      await Promise.all(conns.map(async (c) => {
        if (!(await c.handshake()) || (await c.createSession()) !== 0) return;
        for (let i = 0; i < 8 && !c.closed; ++i) c.send(c.request(ID.ActivateSession, RawClient.activateBody(token)));
      }));
      return conns;
    },
    check: (server, conns) => allClosed(conns),
  },
  // Sessions with many sampled items whose clients go away without closing anything.
  orphan_sessions: {
    memMB: 250,
    async start(server) {
      const conns = await connectMany(server.port, 10, 2);
      assert.ok((await Promise.all(conns.map((c) => c.login()))).every(Boolean), "attacker logins");
      await Promise.all(conns.map(async (c) => {
        const sub = await c.subscription();
        for (let at = 0; at < VARS; at += 5000) await c.call(ID.CreateMonitoredItems, RawClient.monitorBody(sub, allVars.slice(at, at + 5000)));
      }));
      await server.waitStats((s) => s.monitoredItems >= 10 * VARS, 20000, "attack items created");
      conns.forEach((c) => c.close());
      return conns;
    },
    async check(server) {
      await server.waitStats((s) => s.sessions === 0 && s.monitoredItems === 0, 15000, "orphaned sessions dropped");
    },
  },
  // Many large requests at once, to find the longest run step; the answers are read.
  big_requests: {
    memMB: 200,
    args: ["--limit", "idleConnectionMs=60000"],  // a slow reader here is no attacker
    async start(server) {
      const conns = await connectMany(server.port, 8, 2);
      const body = RawClient.readBody(allVars);
      assert.ok((await Promise.all(conns.map((c) => c.login()))).every(Boolean), "attacker logins");
      await Promise.all(conns.map(async (c) => {
        c.answers = (async () => {
          let n = 0;
          while (n < 20 && (await c.next(60000))?.type === "MSG") ++n;
          return n;
        })();
        await c.sendDrained(Buffer.concat(Array.from({ length: 20 }, () => c.request(ID.Read, body))));
      }));
      return conns;
    },
    async check(server, conns) {
      for (const c of conns) assert.equal(await c.answers, 20, "every Read answered");
    },
  },
  // Browse requests of 5000 descriptions of a folder of 100 variables each.
  huge_browse: {
    memMB: 200,
    async start(server) {
      const conns = await connectMany(server.port, 4, 2);
      assert.ok((await Promise.all(conns.map((c) => c.login()))).every(Boolean), "attacker logins");
      const gen0 = 5;  // folders are numbered in order: Plant, Line1, Motor, Gen, F0
      conns.forEach((c) => { for (let i = 0; i < 3; ++i) c.send(c.request(ID.Browse, RawClient.browseBody(gen0, 5000))); });
      return conns;
    },
    async check(server, conns) {
      for (const c of conns) for (let i = 0; i < 3; ++i) assert.equal((await c.next(60000))?.type, "MSG", "browse answered");
    },
  },
  // A browse path of a million steps (16 MB) that all match nothing.
  long_browse_path: {
    memMB: 150,
    async start(server) {
      const conns = await connectMany(server.port, 2);
      assert.ok((await Promise.all(conns.map((c) => c.login()))).every(Boolean), "attacker logins");
      const body = RawClient.browsePathBody("Gen", 700000);
      const requests = conns.map((c) => c.request(ID.TranslateBrowsePaths, body));
      await Promise.all(conns.map((c, k) => c.sendDrained(requests[k])));
      return conns;
    },
    async check(server, conns) {
      for (const c of conns) assert.equal((await c.next(60000))?.type, "MSG", "translate answered");
    },
  },
  // 100 000 monitored items deleted in calls of 20 000.
  mass_delete: {
    memMB: 250,
    async start(server) {
      const c = await RawClient.connect(server.port);
      assert.ok(await c.login(), "attacker login");
      const sub = await c.subscription();
      const names = allVars.concat(allVars);
      for (let k = 0; k < 5; ++k) await c.call(ID.CreateMonitoredItems, RawClient.monitorBody(sub, names.slice(0, 20000)));
      await server.waitStats((s) => s.monitoredItems >= 100000, 20000, "attack items created");
      for (let k = 0; k < 5; ++k) c.send(c.request(ID.DeleteMonitoredItems, RawClient.deleteItemsBody(sub, 1 + 20000 * k, 20000)));
      return [c];
    },
    async check(server) {
      await server.waitStats((s) => s.monitoredItems === 0, 60000, "items deleted");
    },
  },
};

// The well-behaved client: connect, session, read, subscribe and see one change.
async function wellBehaved(server, identity) {
  const client = makeClient();
  await withTimeout(client.connect(server.endpoint), 20000, "good client connect");
  try {
    const session = await withTimeout(client.createSession(identity), 20000, "good client createSession");
    const dv = await withTimeout(session.read({ nodeId: "ns=1;s=Plant.Line1.Temperature", attributeId: opcua.AttributeIds.Value }), 20000, "good client read");
    assert.equal(dv.value.value, 21.25, "good client read value");
    const sub = await withTimeout(session.createSubscription2({
      requestedPublishingInterval: 50, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20, publishingEnabled: true,
    }), 20000, "good client subscribe");
    const item = await withTimeout(sub.monitor({ nodeId: "ns=1;s=Plant.Line1.Motor.Current", attributeId: opcua.AttributeIds.Value },
      { samplingInterval: 0, queueSize: 10 }, opcua.TimestampsToReturn.Both), 20000, "good client monitor");
    const changed = new Promise((resolve) => item.on("changed", (v) => { if (v.value.value === 77) resolve(); }));
    server.send("set Plant.Line1.Motor.Current 77");
    await withTimeout(changed, 20000, "good client notification");
    await withTimeout(session.close(), 10000, "good client close").catch(() => {});
  } finally {
    await withTimeout(client.disconnect(), 10000, "good client disconnect").catch(() => {});
  }
}

function peakRssMB(pid) {
  const m = /VmHWM:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"));
  return m ? Math.round(Number(m[1]) / 1024) : -1;
}

async function main() {
  const [rowName, uademo] = process.argv.slice(2);
  const row = ROWS[rowName];
  if (!row || !uademo) {
    console.error(`usage: ua_abuse.js <${Object.keys(ROWS).join("|")}> <uademo>`);
    process.exit(2);
  }
  const opts = { vars: VARS, maxSeconds: 150, args: [...SHORT, ...(row.args || [])] };
  let keys, identity;
  if (row.user) {
    keys = serverKeyPair();
    Object.assign(opts, { user: "u", pass: "right", cert: keys.cert, key: keys.key });
    identity = { type: opcua.UserTokenType.UserName, userName: "u", password: "right" };
  }
  const server = await startServer([uademo], opts);
  server.keys = keys;
  let conns = [];
  let figures = "";
  try {
    conns = await withTimeout(row.start(server), 60000, "attack start");
    await wellBehaved(server, identity);
    await withTimeout(row.check(server, conns), 60000, "attack outcome");
  } finally {
    const s = await server.stats().catch(() => ({}));
    const ms = (us) => ((us || 0) / 1000).toFixed(1);
    figures = `figures ${rowName} peakRssMB=${peakRssMB(server.child.pid)} maxStepMs=${ms(s.maxStepUs)} maxStepCpuMs=${ms(s.maxStepCpuUs)}`;
    console.log(figures);
    if (conns.stop) conns.stop();
    conns.forEach((c) => c.close());
    await server.stop();
  }
  const peak = Number(/peakRssMB=(-?\d+)/.exec(figures)[1]);
  assert.ok(peak < row.memMB, `peak resident memory ${peak} MB, bound ${row.memMB} MB`);
}

const limit = setTimeout(() => {
  console.error("abuse row exceeded its time limit");
  process.exit(1);
}, 170000);
main().then(() => {
  clearTimeout(limit);
  console.log("PASS");
  process.exit(0);
}, (err) => {
  console.error(err && err.stack ? err.stack : err);
  process.exit(1);
});
