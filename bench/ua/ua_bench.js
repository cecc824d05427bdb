// OPC UA benchmark: the same node-opcua load against uademo (our library) and against
// node-opcua's own server with the same nodes, in one run, and the ratio of the two.
//   node ua_bench.js --uademo <path> [--vars 10000] [--seconds 10] [--procs 2]
//                    [--clients 2] [--nodes 1000] [--interval 100]
// Phase "read": procs x clients sessions read `nodes` variables per request back to back.
// Phase "subscribe": one session monitors every variable at `interval` ms while the server
// changes all of them every `interval` ms. Each phase gets a freshly started server.
"use strict";
const childProcess = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const readline = require("node:readline");
const { startServer, withTimeout, sleep } = require("../../tests/interop/lib/harness");

const o = { uademo: "", vars: 10000, seconds: 10, procs: 2, clients: 2, nodes: 1000, interval: 100 };
for (let i = 2; i < process.argv.length; i += 2) {
  const k = process.argv[i].replace(/^--/, "");
  if (!(k in o)) {
    console.error(`ua_bench: unknown option ${process.argv[i]}`);
    process.exit(2);
  }
  o[k] = k === "uademo" ? process.argv[i + 1] : Number(process.argv[i + 1]);
}
if (!o.uademo || !fs.existsSync(o.uademo)) {
  console.error("usage: node ua_bench.js --uademo <path to uademo> [options]");
  process.exit(2);
}

const SERVERS = [
  { name: "uaclib", command: [path.resolve(o.uademo)] },
  { name: "node-opcua", command: [process.execPath, path.join(__dirname, "../../tests/interop/lib/node_server.js")] },
];

// CPU seconds a process has used so far (user + system), from /proc.
function cpuSeconds(pid) {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
    return (Number(fields[11]) + Number(fields[12])) / 100;  // utime, stime in clock ticks
  } catch {
    return NaN;
  }
}

function startLoad(args) {
  const child = childProcess.spawn(process.execPath, [path.join(__dirname, "ua_load.js"), ...args],
    { stdio: ["pipe", "pipe", "pipe"] });
  // node-opcua's start-up notices are noise here; the output is shown when a load fails.
  let errors = "";
  child.stderr.on("data", (d) => (errors += d));
  child.on("exit", (code) => code !== 0 && process.stderr.write(errors));
  const lines = readline.createInterface({ input: child.stdout });
  const ready = new Promise((resolve, reject) => {
    lines.on("line", (l) => l === "ready" && resolve());
    child.on("exit", (code) => reject(new Error(`load process ended with ${code}`)));
  });
  const result = new Promise((resolve, reject) => {
    lines.on("line", (l) => l.startsWith("result ") && resolve(JSON.parse(l.slice(7))));
    child.on("exit", (code) => code !== 0 && reject(new Error(`load process ended with ${code}`)));
  });
  result.catch(() => {});
  return { child, ready, result };
}

async function phase(server, mode) {
  const srv = await startServer(server.command, { vars: o.vars, tick: mode === "subscribe" ? o.interval : 0,
    maxSeconds: 600, readyMs: 120000 });
  try {
    const procs = mode === "read" ? o.procs : 1;
    const loads = Array.from({ length: procs }, () => startLoad([mode, srv.endpoint, "--clients", String(o.clients),
      "--vars", String(o.vars), "--nodes", String(o.nodes), "--interval", String(o.interval)]));
    await withTimeout(Promise.all(loads.map((l) => l.ready)), 300000, `${server.name} ${mode} set-up`);
    await sleep(2000);  // first values and start-up work settle before the measurement
    const cpu0 = cpuSeconds(srv.child.pid);
    for (const l of loads) l.child.stdin.write(`go ${o.seconds}\n`);
    const results = await withTimeout(Promise.all(loads.map((l) => l.result)), (o.seconds + 120) * 1000,
      `${server.name} ${mode} run`);
    const cpu = cpuSeconds(srv.child.pid) - cpu0;
    const seconds = Math.max(...results.map((r) => r.seconds));
    const sum = (k) => results.reduce((a, r) => a + (r[k] || 0), 0);
    return mode === "read"
      ? { rate: sum("values") / seconds, requests: sum("requests") / seconds, bad: sum("bad"), cpu: cpu / seconds }
      : { rate: sum("notifications") / seconds, cpu: cpu / seconds };
  } finally {
    await srv.stop();
  }
}

const fmt = (x) => (Number.isFinite(x) ? Math.round(x).toLocaleString("en-US") : "-");
const pad = (s, n) => String(s).padStart(n);

async function main() {
  console.log(`OPC UA benchmark: ${o.vars} Double variables; read: ${o.procs} processes x ${o.clients} clients x ` +
    `${o.nodes} nodes per request; subscribe: ${o.vars} monitored items, all changed every ${o.interval} ms; ` +
    `${o.seconds} s per phase`);
  const r = {};
  for (const mode of ["read", "subscribe"]) {
    for (const s of SERVERS) {
      r[`${s.name} ${mode}`] = await phase(s, mode);
      const x = r[`${s.name} ${mode}`];
      console.log(`  ${s.name} ${mode}: ${fmt(x.rate)}/s${x.requests ? ` (${fmt(x.requests)} requests/s)` : ""}` +
        `${x.bad ? `, ${x.bad} bad values` : ""}, server CPU ${Math.round(x.cpu * 100)}%`);
    }
  }
  const [a, b] = SERVERS.map((s) => s.name);
  console.log("");
  console.log(`${"".padEnd(18)}${pad(a, 14)}${pad(b, 14)}${pad("ratio", 8)}`);
  for (const [label, mode] of [["reads/s", "read"], ["notifications/s", "subscribe"]]) {
    const x = r[`${a} ${mode}`], y = r[`${b} ${mode}`];
    console.log(`${label.padEnd(18)}${pad(fmt(x.rate), 14)}${pad(fmt(y.rate), 14)}${pad((x.rate / y.rate).toFixed(2), 8)}`);
  }
  for (const [label, mode] of [["CPU/s, read", "read"], ["CPU/s, subscribe", "subscribe"]]) {
    const x = r[`${a} ${mode}`], y = r[`${b} ${mode}`];
    console.log(`${label.padEnd(18)}${pad(x.cpu.toFixed(2), 14)}${pad(y.cpu.toFixed(2), 14)}`);
  }
  process.exit(0);
}

main().catch((e) => {
  console.error(`ua_bench: ${e.stack || e}`);
  process.exit(1);
});
