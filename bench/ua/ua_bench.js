// OPC UA benchmark: the same node-opcua load against uademo (our library) and against
// node-opcua's own server with the same nodes, in one run, and the ratio of the two.
//   node ua_bench.js --uademo <path> [--vars 10000] [--seconds 10] [--procs 2]
//                    [--clients 2] [--nodes 1000] [--interval 100]
//                    [--security None,Basic256Sha256/SignAndEncrypt,...]
// Phase "read": procs x clients sessions read `nodes` variables per request back to back.
// Phase "subscribe": one session monitors every variable at `interval` ms while the server
// changes all of them every `interval` ms. Each phase gets a freshly started server.
// --security lists the channels measured (policy/mode, "None" the plain one; by default
// None and Basic256Sha256/SignAndEncrypt); a secured run gives both servers a
// certificate and prints each server's ratio to its None run.
"use strict";
const childProcess = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const readline = require("node:readline");
const { startServer, withTimeout, sleep, home } = require("../../tests/interop/lib/harness");

const o = { uademo: "", vars: 10000, seconds: 10, procs: 2, clients: 2, nodes: 1000, interval: 100,
  security: "None,Basic256Sha256/SignAndEncrypt" };
for (let i = 2; i < process.argv.length; i += 2) {
  const k = process.argv[i].replace(/^--/, "");
  if (!(k in o)) {
    console.error(`ua_bench: unknown option ${process.argv[i]}`);
    process.exit(2);
  }
  o[k] = k === "uademo" || k === "security" ? process.argv[i + 1] : Number(process.argv[i + 1]);
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

// The server certificate of secured runs, made once with openssl (2048-bit RSA).
let certificate = null;
function serverCertificate() {
  if (certificate) return certificate;
  const dir = fs.mkdtempSync(path.join(home, "cert-"));
  certificate = { cert: path.join(dir, "cert.der"), key: path.join(dir, "key.der") };
  childProcess.execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=uademo",
    "-addext", "subjectAltName=URI:urn:uademo,IP:127.0.0.1", "-keyout", path.join(dir, "key.pem"),
    "-out", path.join(dir, "cert.pem")], { stdio: "ignore" });
  childProcess.execFileSync("openssl", ["x509", "-in", path.join(dir, "cert.pem"), "-outform", "DER", "-out", certificate.cert]);
  childProcess.execFileSync("openssl", ["pkey", "-in", path.join(dir, "key.pem"), "-outform", "DER", "-out", certificate.key]);
  return certificate;
}

async function phase(server, mode, security) {
  const [policy, securityMode] = security === "None" ? ["None", "None"] : security.split("/");
  const srv = await startServer(server.command, { vars: o.vars, tick: mode === "subscribe" ? o.interval : 0,
    maxSeconds: 600, readyMs: 120000, ...(policy === "None" ? {} : serverCertificate()) });
  try {
    const procs = mode === "read" ? o.procs : 1;
    const loads = Array.from({ length: procs }, () => startLoad([mode, srv.endpoint, "--clients", String(o.clients),
      "--vars", String(o.vars), "--nodes", String(o.nodes), "--interval", String(o.interval),
      "--policy", policy, "--security", securityMode]));
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
  const securities = o.security.split(",");
  console.log(`OPC UA benchmark: ${o.vars} Double variables; read: ${o.procs} processes x ${o.clients} clients x ` +
    `${o.nodes} nodes per request; subscribe: ${o.vars} monitored items, all changed every ${o.interval} ms; ` +
    `${o.seconds} s per phase; channels: ${securities.join(", ")}`);
  const r = {};
  for (const security of securities) {
    for (const mode of ["read", "subscribe"]) {
      for (const s of SERVERS) {
        const x = (r[`${s.name} ${mode} ${security}`] = await phase(s, mode, security));
        console.log(`  ${s.name} ${mode} ${security}: ${fmt(x.rate)}/s${x.requests ? ` (${fmt(x.requests)} requests/s)` : ""}` +
          `${x.bad ? `, ${x.bad} bad values` : ""}, server CPU ${Math.round(x.cpu * 100)}%`);
      }
    }
  }
  const [a, b] = SERVERS.map((s) => s.name);
  for (const security of securities) {
    console.log("");
    console.log(`${security.padEnd(34)}${pad(a, 14)}${pad(b, 14)}${pad("ratio", 8)}`);
    for (const [label, mode] of [["reads/s", "read"], ["notifications/s", "subscribe"]]) {
      const x = r[`${a} ${mode} ${security}`], y = r[`${b} ${mode} ${security}`];
      console.log(`${label.padEnd(34)}${pad(fmt(x.rate), 14)}${pad(fmt(y.rate), 14)}${pad((x.rate / y.rate).toFixed(2), 8)}`);
    }
    for (const [label, mode] of [["CPU/s, read", "read"], ["CPU/s, subscribe", "subscribe"]]) {
      const x = r[`${a} ${mode} ${security}`], y = r[`${b} ${mode} ${security}`];
      console.log(`${label.padEnd(34)}${pad(x.cpu.toFixed(2), 14)}${pad(y.cpu.toFixed(2), 14)}`);
    }
    if (security !== "None" && securities.includes("None")) {
      // What the security costs each server: its rate secured over its rate on None.
      for (const [label, mode] of [["reads/s, ratio to None", "read"], ["notifications/s, ratio to None", "subscribe"]]) {
        const ratio = (n) => (r[`${n} ${mode} ${security}`].rate / r[`${n} ${mode} None`].rate).toFixed(2);
        console.log(`${label.padEnd(34)}${pad(ratio(a), 14)}${pad(ratio(b), 14)}`);
      }
    }
  }
  process.exit(0);
}

main().catch((e) => {
  console.error(`ua_bench: ${e.stack || e}`);
  process.exit(1);
});
