// The node-opcua client side of the gateway OPC UA benchmark (the count role, and the latency
// role with --watch node; bench/ua/ua_watch.cc is the default latency watcher); one process
// per role, lines on stdout (times are CLOCK_MONOTONIC microseconds, the clock cloudsim's marks use).
//   node ua_watch.js latency <endpoint> <nodeId>...
//     one subscription (publishing interval 10 ms, sampling 0: every change) on the nodes;
//     "ready" once each node has sent its first value, then per data change notification
//     "change\t<index>\t<value>\t<status>\t<arrival us>"
//   node ua_watch.js count <endpoint> <file of node ids> [--subs N] [--interval MS]
//     every node of the file (one id a line) monitored with sampling 0 and queue 1 over N
//     subscriptions of one session; "ready <items>" once all are created, then after each
//     publish response with data "count\t<us>\t<notifications>\t<bad>\t<publish responses>"
//     (running totals; the time is the response's arrival).
"use strict";
const fs = require("node:fs");
const { opcua, withTimeout, makeClient } = require("../../tests/interop/lib/harness");

const { AttributeIds, TimestampsToReturn } = opcua;
const nowUs = () => Number(process.hrtime.bigint() / 1000n);

async function openSession(endpoint) {
  // The monitored items of the count role take a while to create: a long session time-out.
  const client = makeClient({ requestedSessionTimeout: 600000, keepSessionAlive: true, applicationName: "ZelUaBench" });
  await withTimeout(client.connect(endpoint), 30000, "connect");
  const session = await withTimeout(client.createSession(), 30000, "createSession");
  return session;
}

function subscribe(session, intervalMs) {
  return session.createSubscription2({
    requestedPublishingInterval: intervalMs, requestedLifetimeCount: 6000, requestedMaxKeepAliveCount: 100,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
}

async function latency(endpoint, ids) {
  const session = await openSession(endpoint);
  const sub = await subscribe(session, 10);
  const first = new Set();
  let ready = false;
  ids.forEach((id, i) => {
    const item = opcua.ClientMonitoredItem.create(sub, { nodeId: id, attributeId: AttributeIds.Value },
      { samplingInterval: 0, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
    item.on("changed", (dv) => {
      const at = nowUs();  // first thing: the arrival as this process sees it
      const v = dv.value ? dv.value.value : null;
      console.log(`change\t${i}\t${v === null || v === undefined ? "null" : v}\t${dv.statusCode.name}\t${at}`);
      first.add(i);
      if (!ready && first.size === ids.length) {
        ready = true;
        console.log("ready");
      }
    });
  });
  await new Promise(() => {});  // runs until the benchmark ends the process
}

async function count(endpoint, file, subs, intervalMs) {
  const ids = fs.readFileSync(file, "utf8").split("\n").filter((l) => l.length > 0);
  const session = await openSession(endpoint);
  let notifications = 0, bad = 0, messages = 0, counting = false;
  const perCall = 1000;
  const per = Math.ceil(ids.length / subs);
  for (let s = 0; s < subs; ++s) {
    const sub = await subscribe(session, intervalMs);
    // Counted from the raw publish responses; node-opcua still hands every value to its item.
    sub.on("raw_notification", (msg) => {
      const at = nowUs();
      let n = 0;
      for (const nd of msg.notificationData || []) {
        if (!nd.monitoredItems) continue;
        n += nd.monitoredItems.length;
        for (const mi of nd.monitoredItems) if (mi.value.statusCode.value !== 0) ++bad;
      }
      if (n === 0) return;  // a keep-alive
      notifications += n;
      ++messages;
      if (counting) console.log(`count\t${at}\t${notifications}\t${bad}\t${messages}`);
    });
    const mine = ids.slice(s * per, (s + 1) * per);
    for (let first = 0; first < mine.length; first += perCall) {
      const items = mine.slice(first, first + perCall).map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value }));
      await withTimeout(sub.monitorItems(items, { samplingInterval: 0, queueSize: 1, discardOldest: true },
        TimestampsToReturn.Both), 120000, "CreateMonitoredItems");
    }
  }
  console.log(`ready ${ids.length}`);
  console.log(`count\t${nowUs()}\t${notifications}\t${bad}\t${messages}`);
  counting = true;
  await new Promise(() => {});
}

async function main() {
  const [mode, endpoint, ...rest] = process.argv.slice(2);
  process.on("SIGTERM", () => process.exit(0));
  if (mode === "latency") return latency(endpoint, rest);
  if (mode === "count") {
    const o = { subs: 1, interval: 100 };
    for (let i = 1; i + 1 < rest.length; i += 2) o[rest[i].replace(/^--/, "")] = Number(rest[i + 1]);
    return count(endpoint, rest[0], o.subs, o.interval);
  }
  throw new Error(`unknown mode ${mode}`);
}

main().catch((e) => {
  console.log(`error ${e.message.split("\n")[0]}`);
  process.exit(1);
});
