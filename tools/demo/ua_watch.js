// The demo's OPC UA client: connects to the gateway like any plant client, browses the
// device folders below Objects and shows every variable's value and status as a table
// that refreshes once a second. Usage: node ua_watch.js [endpoint] [--once]
// On a terminal the table is redrawn in place on the alternate screen, as watch does, so
// nothing scrolls and the terminal's history is left alone; the last table stays printed
// when it ends. Into a pipe or a file every table is printed plainly, one after another.
"use strict";
const { OPCUAClient, AttributeIds, NodeClass, MessageSecurityMode, SecurityPolicy, StatusCodes } = require("node-opcua");

const endpoint = process.argv.find((a) => a.startsWith("opc.tcp://")) || "opc.tcp://127.0.0.1:4866";
const once = process.argv.includes("--once");
const live = process.stdout.isTTY && !once;
const leaveScreen = () => { if (live) process.stdout.write("\x1b[?1049l"); };

async function browseTree(session, nodeId, path, out, depth) {
  if (depth > 8) return;
  const result = await session.browse({ nodeId, browseDirection: 0, includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
    referenceTypeId: "HierarchicalReferences" });
  for (const ref of result.references || []) {
    const id = ref.nodeId.toString();
    if (ref.nodeId.namespace !== 1) continue;  // the devices live in namespace 1
    const name = path ? path + "/" + ref.browseName.name : ref.browseName.name;
    if (ref.nodeClass === NodeClass.Variable) out.push({ id, name });
    else if (ref.nodeClass === NodeClass.Object) await browseTree(session, ref.nodeId, name, out, depth + 1);
  }
}

function pad(s, n) { s = String(s); return s.length >= n ? s.slice(0, n) : s + " ".repeat(n - s.length); }

async function main() {
  const client = OPCUAClient.create({
    applicationName: "ZelDemoWatch", endpointMustExist: false, keepSessionAlive: true,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { initialDelay: 500, maxDelay: 2000, maxRetry: 60 },
  });
  await client.connect(endpoint);
  const session = await client.createSession();
  const vars = [];
  await browseTree(session, "ns=0;i=85", "", vars, 0);
  const show = async () => {
    const values = vars.length ? await session.read(vars.map((v) => ({ nodeId: v.id, attributeId: AttributeIds.Value }))) : [];
    const lines = [];
    lines.push(`${endpoint}  ${new Date().toISOString()}  ${vars.length} variables  (Ctrl-C ends)`);
    lines.push(pad("node", 48) + pad("value", 18) + "status");
    vars.forEach((v, i) => {
      const dv = values[i];
      const val = dv.value && dv.value.value !== null && dv.value.value !== undefined ? dv.value.value : "-";
      lines.push(pad(v.name, 48) + pad(typeof val === "number" ? +val.toFixed(4) : val, 18) + dv.statusCode.name);
    });
    last = lines;
    if (!live) {
      process.stdout.write(lines.join("\n") + "\n");
      return;
    }
    // Only as many lines as the screen holds, each no wider than it: more would scroll it.
    const rows = Math.max(3, process.stdout.rows || 24);
    const cols = Math.max(20, process.stdout.columns || 80);
    let shown = lines;
    if (lines.length > rows - 1) shown = lines.slice(0, rows - 2).concat([`... ${lines.length - rows + 2} more lines`]);
    // Cursor home, each line over the old one, then the rest of the screen cleared: no flicker.
    process.stdout.write("\x1b[H" + shown.map((l) => l.slice(0, cols) + "\x1b[K").join("\n") + "\x1b[J");
  };
  let last = [];
  if (live) {
    process.stdout.write("\x1b[?1049h");  // alternate screen
    const leave = () => {
      leaveScreen();
      if (last.length) process.stdout.write(last.join("\n") + "\n");
      process.exit(0);
    };
    process.on("SIGINT", leave);
    process.on("SIGTERM", leave);
  }
  if (once) {
    await show();
  } else {
    for (;;) {
      await show();
      await new Promise((r) => setTimeout(r, 1000));
    }
  }
  await session.close();
  await client.disconnect();
}

main().catch((e) => { leaveScreen(); console.error("ua_watch: " + e.message); process.exit(1); });
