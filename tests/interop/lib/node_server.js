// The same tree and line protocol as uademo, served by node-opcua's own server: the
// benchmark's baseline, and a reference to check the interop scripts themselves against
// (node tests/interop/ua_interop.js <case> --node-server). Options and stdin/stdout
// lines are those of uademo (tools/uademo/uademo_main.cc).
"use strict";
const { opcua } = require("./harness");
const readline = require("node:readline");

const opts = { port: 0, vars: 0, tick: 0, maxSeconds: 0, user: "", pass: "", plainNames: false, secure: false };
for (let i = 2; i < process.argv.length; ++i) {
  const a = process.argv[i];
  if (a === "--plain-names") opts.plainNames = true;
  else if (a === "--no-stdin") opts.noStdin = true;
  else if (a === "--port") opts.port = Number(process.argv[++i]);
  else if (a === "--vars") opts.vars = Number(process.argv[++i]);
  else if (a === "--tick") opts.tick = Number(process.argv[++i]);
  else if (a === "--max-seconds") opts.maxSeconds = Number(process.argv[++i]);
  else if (a === "--user") opts.user = process.argv[++i];
  else if (a === "--pass") opts.pass = process.argv[++i];
  else if (a === "--cert") {
    // node-opcua makes its own certificate; a certificate given means: offer the
    // secure policies as uademo does with one.
    opts.secure = true;
    ++i;
  } else if (a === "--no-none") {
    // uademo only, no value
  }
  else if (["--key", "--sleep", "--log"].includes(a)) ++i;  // uademo only
  else {
    console.error(`node_server: unknown option ${a}`);
    process.exit(2);
  }
}

const { DataType, StatusCodes, StatusCode, Variant } = opcua;
const TYPES = { 1: DataType.Boolean, 2: DataType.Int32, 3: DataType.Float, 4: DataType.Double, 5: DataType.String };

function toVariantValue(type, d) {
  if (type === 1) return d !== 0;
  if (type === 2) return Math.trunc(d) | 0;
  if (type === 5) return String(d);
  return d;
}

// Tree description shared with uademo: [path, name, type code, access, initial value].
function fixedTree() {
  return [
    ["Plant", "Running", 1, "W", 1], ["Plant", "Count", 2, "W", 42], ["Plant", "Label", 5, "R", 7],
    ["Plant.Line1", "Speed", 3, "W", 1.5], ["Plant.Line1", "Temperature", 4, "R", 21.25],
    ["Plant.Line1", "Alarm", 1, "R", 0], ["Plant.Line1.Motor", "Setpoint", 4, "W", 100],
    ["Plant.Line1.Motor", "Current", 4, "R", 3.75], ["Plant.Line1.Motor", "Mode", 2, "R", 2],
  ];
}

async function main() {
  const userManager = opts.user
    ? { isValidUser: (u, p) => u === opts.user && p === opts.pass }
    : undefined;
  const server = new opcua.OPCUAServer({
    port: opts.port,
    host: "127.0.0.1",
    hostname: "127.0.0.1",
    // node-opcua offers UserName tokens on a None channel only with an encrypting policy.
    securityPolicies: [opcua.SecurityPolicy.None, ...(opts.secure
      ? [opcua.SecurityPolicy.Basic256Sha256, opcua.SecurityPolicy.Aes128_Sha256_RsaOaep, opcua.SecurityPolicy.Aes256_Sha256_RsaPss]
      : opts.user ? [opcua.SecurityPolicy.Basic256Sha256] : [])],
    securityModes: [opcua.MessageSecurityMode.None, ...(opts.secure ? [opcua.MessageSecurityMode.Sign] : []),
      ...(opts.user || opts.secure ? [opcua.MessageSecurityMode.SignAndEncrypt] : [])],
    allowAnonymous: !opts.user,
    userManager,
    maxConnectionsPerEndpoint: 200,
    serverCapabilities: {
      maxSessions: 200,
      maxSubscriptions: 200,
      maxMonitoredItems: 100000,
      operationLimits: { maxNodesPerRead: 10000, maxNodesPerBrowse: 10000, maxMonitoredItemsPerCall: 10000 },
    },
    buildInfo: {
      productName: "node_server", manufacturerName: "Tarnwell", softwareVersion: "3.0.0.1",
      buildNumber: "3.0.0.1", buildDate: new Date(Date.UTC(2023, 11, 1, 10)),
    },
    serverInfo: { applicationUri: "urn:node_server" },
  });
  await server.initialize();
  const addressSpace = server.engine.addressSpace;
  const ns = addressSpace.getOwnNamespace();
  const folders = new Map();
  const folderOf = (p) => {
    if (folders.has(p)) return folders.get(p);
    const dot = p.lastIndexOf(".");
    const parent = dot < 0 ? addressSpace.rootFolder.objects : folderOf(p.slice(0, dot));
    const f = ns.addFolder(parent, { browseName: p.slice(dot + 1), nodeId: `s=folder:${p}` });
    folders.set(p, f);
    return f;
  };

  const vars = new Map();
  const push = (v) => {
    const variant = v.status.isGood()
      ? new Variant({ dataType: TYPES[v.type], value: toVariantValue(v.type, v.value) })
      : new Variant({ dataType: DataType.Null });
    v.node.setValueFromSource(variant, v.status);
  };
  const add = (p, name, type, access, value) => {
    const fullName = `${p}.${name}`;
    const v = { fullName, type, value, status: StatusCodes.Good };
    v.node = ns.addVariable({
      componentOf: folderOf(p),
      browseName: name,
      displayName: opts.plainNames ? name : fullName.replace(/\./g, "_"),
      nodeId: `s=${fullName}`,
      dataType: TYPES[type],
      accessLevel: access === "W" ? "CurrentRead | CurrentWrite" : "CurrentRead",
      userAccessLevel: access === "W" ? "CurrentRead | CurrentWrite" : "CurrentRead",
      minimumSamplingInterval: 0,
    });
    push(v);
    // Writes are printed as uademo does; node-opcua then stores the value itself.
    if (access === "W") {
      v.node._timestamped_set_func = (dataValue, callback) => {
        console.log(`write ${fullName} ${Number(dataValue.value.value)}`);
        callback(null, StatusCodes.Good, dataValue);
      };
    }
    vars.set(fullName, v);
    return v;
  };
  for (const [p, name, type, access, value] of fixedTree()) add(p, name, type, access, value);
  const gen = [];
  for (let i = 0; i < opts.vars; ++i) gen.push(add(`Gen.F${Math.floor(i / 100)}`, `V${i}`, 4, "W", i));

  const tick = () => {
    for (const v of gen) {
      v.value += 1;
      v.status = StatusCodes.Good;
      push(v);
    }
  };

  let clients = 0;
  server.on("newChannel", () => ++clients);
  server.on("closeChannel", () => --clients);

  await server.start();
  const port = server.endpoints[0].port;
  console.log(`ready port=${port} vars=${vars.size}`);

  const stop = async () => {
    await server.shutdown(0);
    process.exit(0);
  };
  if (opts.tick > 0) setInterval(tick, opts.tick);
  if (opts.maxSeconds > 0) setTimeout(stop, opts.maxSeconds * 1000).unref();
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
  if (opts.noStdin) return;
  const rl = readline.createInterface({ input: process.stdin });
  rl.on("close", stop);
  rl.on("line", (line) => {
    const [cmd, name, valueText, flag] = line.trim().split(/\s+/);
    if (!cmd) return;
    if (cmd === "quit") return stop();
    if (cmd === "tick") {
      tick();
      return console.log("ok tick");
    }
    if (cmd === "stats") {
      let monitoredItems = 0;
      for (const s of server.engine.getSessions()) monitoredItems += s.currentMonitoredItemCount;
      const subscriptions = server.engine.currentSubscriptionCount;
      return console.log(`stats clients=${clients} sessions=${server.engine.currentSessionCount} subscriptions=${subscriptions} monitoredItems=${monitoredItems}`);
    }
    if (cmd === "set") {
      const v = vars.get(name);
      const d = Number(valueText);
      if (!v || valueText === undefined || Number.isNaN(d) || (flag && flag !== "bad"))
        return console.log(`error bad command: ${line}`);
      v.value = d;
      v.status = flag === "bad" ? StatusCode.makeStatusCode(0x80050000) : StatusCodes.Good;
      push(v);
      return console.log(`ok set ${name}`);
    }
    console.log(`error unknown command: ${cmd}`);
  });
}

main().catch((e) => {
  console.error(`node_server: ${e.stack || e}`);
  process.exit(1);
});
