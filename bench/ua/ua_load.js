// One load process of the OPC UA benchmark, the same for every server measured.
//   node ua_load.js read <endpoint> --clients C --vars N --nodes K
//   node ua_load.js subscribe <endpoint> --vars N --interval MS
//   either with --policy <SecurityPolicy name> --security <Sign|SignAndEncrypt> (default None)
// It connects, prints "ready", waits for "go <seconds>" on stdin, runs for that time and
// prints one line "result {json}". read: C sessions each reading K of the N generated
// variables per request, back to back. subscribe: one session, one subscription with all
// N variables monitored at the interval; counts the data change notifications received.
"use strict";
const readline = require("node:readline");
const { opcua, withTimeout, makeClient } = require("../../tests/interop/lib/harness");

const { AttributeIds, TimestampsToReturn } = opcua;
const genNode = (i) => `ns=1;s=Gen.F${Math.floor(i / 100)}.V${i}`;

function parse(argv) {
  const o = { mode: argv[0], endpoint: argv[1], clients: 2, vars: 10000, nodes: 1000, interval: 100 };
  o.policy = "None";
  o.security = "None";
  for (let i = 2; i < argv.length; i += 2) {
    const k = argv[i].replace(/^--/, "");
    o[k] = k === "policy" || k === "security" ? argv[i + 1] : Number(argv[i + 1]);
  }
  return o;
}

async function openSession(endpoint, o) {
  const client = makeClient({ requestedSessionTimeout: 120000, keepSessionAlive: true,
    securityPolicy: opcua.SecurityPolicy[o.policy], securityMode: opcua.MessageSecurityMode[o.security] });
  await withTimeout(client.connect(endpoint), 30000, "connect");
  const session = await withTimeout(client.createSession(), 30000, "createSession");
  return { client, session };
}

async function readLoad(o, start) {
  const sessions = [];
  // One after the other: the first makes the client certificate the others use.
  for (let c = 0; c < o.clients; ++c) sessions.push(await openSession(o.endpoint, o));
  const blocks = [];
  for (let b = 0; b * o.nodes < o.vars; ++b) {
    blocks.push(Array.from({ length: Math.min(o.nodes, o.vars - b * o.nodes) },
      (_, i) => ({ nodeId: genNode(b * o.nodes + i), attributeId: AttributeIds.Value })));
  }
  const seconds = await start();
  const until = Date.now() + seconds * 1000;
  const counts = { requests: 0, values: 0, bad: 0 };
  const t0 = process.hrtime.bigint();
  await Promise.all(sessions.map(async ({ session }, c) => {
    for (let k = c; Date.now() < until; ++k) {
      const dvs = await session.read(blocks[k % blocks.length], 0);
      counts.requests++;
      counts.values += dvs.length;
      for (const dv of dvs) if (dv.statusCode.isNotGood()) counts.bad++;
    }
  }));
  const elapsed = Number(process.hrtime.bigint() - t0) / 1e9;
  for (const { client, session } of sessions) {
    await session.close().catch(() => {});
    await client.disconnect().catch(() => {});
  }
  return { ...counts, seconds: elapsed };
}

async function subscribeLoad(o, start) {
  const { client, session } = await openSession(o.endpoint, o);
  const limitDv = await session.read({ nodeId: "ns=0;i=11714", attributeId: AttributeIds.Value });
  const perCall = Math.min(1000, Number(limitDv.value.value) || 1000);
  const sub = await session.createSubscription2({
    requestedPublishingInterval: o.interval, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
  let notifications = 0;
  sub.on("raw_notification", (msg) => {
    for (const nd of msg.notificationData || []) if (nd.monitoredItems) notifications += nd.monitoredItems.length;
  });
  for (let first = 0; first < o.vars; first += perCall) {
    const items = Array.from({ length: Math.min(perCall, o.vars - first) },
      (_, i) => ({ nodeId: genNode(first + i), attributeId: AttributeIds.Value }));
    await withTimeout(sub.monitorItems(items, { samplingInterval: o.interval, queueSize: 1, discardOldest: true },
      TimestampsToReturn.Both), 60000, "CreateMonitoredItems");
  }
  const seconds = await start();
  const before = notifications;
  const t0 = process.hrtime.bigint();
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const count = notifications - before;
  const elapsed = Number(process.hrtime.bigint() - t0) / 1e9;
  await sub.terminate().catch(() => {});
  await session.close().catch(() => {});
  await client.disconnect().catch(() => {});
  return { notifications: count, seconds: elapsed };
}

async function main() {
  const o = parse(process.argv.slice(2));
  const input = readline.createInterface({ input: process.stdin });
  const go = new Promise((resolve) => input.on("line", (l) => l.startsWith("go ") && resolve(Number(l.slice(3)))));
  input.on("close", () => process.exit(1));  // the benchmark went away
  const start = () => {
    console.log("ready");
    return go;
  };
  const result = o.mode === "read" ? await readLoad(o, start) : await subscribeLoad(o, start);
  console.log(`result ${JSON.stringify(result)}`);
  process.exit(0);
}

main().catch((e) => {
  console.error(`ua_load: ${e.stack || e}`);
  process.exit(1);
});
