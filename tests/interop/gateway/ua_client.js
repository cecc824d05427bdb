// A one-shot node-opcua client for the gateway tests. Prints one result per line.
//   node ua_client.js <endpoint> [--user U --pass P] [--secure] <command> [args]
//   (--secure: Basic256Sha256 SignAndEncrypt with node-opcua's own client certificate)
//   connect                 "ok", or "error <status name>"
//   browse                  "folder <path>" and "var <nodeId> <path>" for all of namespace 1
//   read <nodeId>...        "<nodeId>\t<value>\t<status name>"
//   write <nodeId> <value>  the write's status name (the value is sent as a Double)
//   watch <nodeId> <ms>     subscribes and prints "change\t<value>\t<status name>" per notification
//   hold <ms>               prints "ok" once the session is made, keeps it for <ms>, then closes
"use strict";
const opcua = require("node-opcua");
const { OPCUAClient, AttributeIds, NodeClass, DataType, MessageSecurityMode, SecurityPolicy, UserTokenType,
  TimestampsToReturn, ClientSubscription, ClientMonitoredItem } = opcua;

const args = process.argv.slice(2);
const endpoint = args.shift();
let user = null, pass = null, secure = false;
for (;;) {
  if (args[0] === "--secure") { args.shift(); secure = true; continue; }
  if (args[0] === "--user") { args.shift(); user = args.shift(); }
  else if (args[0] === "--pass") { args.shift(); pass = args.shift(); }
  else break;
}
const command = args.shift();

function statusName(sc) { return sc && sc.name ? sc.name : String(sc); }
function valueText(dv) {
  const v = dv.value ? dv.value.value : null;
  return v === null || v === undefined ? "null" : String(v);
}

async function browse(session, nodeId, path, depth) {
  if (depth > 10) return;
  const r = await session.browse({ nodeId, referenceTypeId: "HierarchicalReferences", includeSubtypes: true,
    browseDirection: opcua.BrowseDirection.Forward, nodeClassMask: 0, resultMask: 63 });
  for (const ref of r.references || []) {
    if (ref.nodeId.namespace !== 1) continue;
    const p = path ? path + "/" + ref.browseName.name : ref.browseName.name;
    if (ref.nodeClass === NodeClass.Variable) console.log(`var ${ref.nodeId.value}\t${p}`);
    else { console.log(`folder ${p}`); await browse(session, ref.nodeId, p, depth + 1); }
  }
}

async function main() {
  const client = OPCUAClient.create({ applicationName: "ZelGatewayTest", endpointMustExist: false,
    securityMode: secure ? MessageSecurityMode.SignAndEncrypt : MessageSecurityMode.None,
    securityPolicy: secure ? SecurityPolicy.Basic256Sha256 : SecurityPolicy.None,
    connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 500 } });
  await client.connect(endpoint);
  let session;
  try {
    session = await client.createSession(user !== null ? { type: UserTokenType.UserName, userName: user, password: pass }
                                                       : undefined);
  } catch (e) {
    const m = /Bad\w+/.exec(e.message);
    console.log("error " + (m ? m[0] : e.message.split("\n")[0]));
    await client.disconnect();
    return;
  }
  const ns = (id) => "ns=1;s=" + id;
  if (command === "connect") {
    console.log("ok");
  } else if (command === "browse") {
    await browse(session, "ns=0;i=85", "", 0);
  } else if (command === "read") {
    const dvs = await session.read(args.map((id) => ({ nodeId: ns(id), attributeId: AttributeIds.Value })));
    dvs.forEach((dv, i) => console.log(`${args[i]}\t${valueText(dv)}\t${statusName(dv.statusCode)}`));
  } else if (command === "write") {
    const sc = await session.write({ nodeId: ns(args[0]), attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Double, value: Number(args[1]) } } });
    console.log(statusName(sc));
  } else if (command === "watch") {
    const sub = ClientSubscription.create(session, { requestedPublishingInterval: 100, requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 20, maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1 });
    const item = ClientMonitoredItem.create(sub, { nodeId: ns(args[0]), attributeId: AttributeIds.Value },
      { samplingInterval: 50, discardOldest: true, queueSize: 100 }, TimestampsToReturn.Both);
    item.on("changed", (dv) => console.log(`change\t${valueText(dv)}\t${statusName(dv.statusCode)}`));
    await new Promise((r) => setTimeout(r, Number(args[1] || 3000)));
    await sub.terminate();
  } else if (command === "hold") {
    console.log("ok");
    await new Promise((r) => setTimeout(r, Number(args[0] || 3000)));
  } else {
    console.log("error unknown command " + command);
  }
  await session.close();
  await client.disconnect();
}

main().then(() => process.exit(0), (e) => { console.log("error " + e.message.split("\n")[0]); process.exit(1); });
