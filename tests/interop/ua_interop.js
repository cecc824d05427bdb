// Interop tests of uaclib with node-opcua's client: each case starts uademo (our library
// behind its C API) on an ephemeral port, talks to it as a plant client would, and drives
// value changes and reads write callbacks over uademo's stdin/stdout.
//
//   node ua_interop.js <case> <path to uademo>
//   node ua_interop.js <case> --node-server    the same case against node-opcua's server,
//                                                to check a case itself
// Exit code 0 passed, 1 failed, 77 skipped (no node-opcua installed). Every case ends by
// itself: a case-wide time limit fails it and stops the server.
"use strict";
const assert = require("node:assert/strict");
const childProcess = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const { opcua, SKIP, sleep, withTimeout, startServer, makeClient, home } = require("./lib/harness");

const { AttributeIds, NodeClass, StatusCodes, DataType, TimestampsToReturn, UserTokenType } = opcua;

const CASE_LIMIT_MS = 150000;
const BAD_FROM_DEVICE = 0x80050000;  // the status uademo's "set ... bad" pushes

// The fixed part of uademo's tree: [full name, data type, writable, initial value].
const FIXED = [
  ["Plant.Running", DataType.Boolean, true, true],
  ["Plant.Count", DataType.Int32, true, 42],
  ["Plant.Label", DataType.String, false, undefined],  // text made from the double 7 by the library
  ["Plant.Line1.Speed", DataType.Float, true, 1.5],
  ["Plant.Line1.Temperature", DataType.Double, false, 21.25],
  ["Plant.Line1.Alarm", DataType.Boolean, false, false],
  ["Plant.Line1.Motor.Setpoint", DataType.Double, true, 100],
  ["Plant.Line1.Motor.Current", DataType.Double, false, 3.75],
  ["Plant.Line1.Motor.Mode", DataType.Int32, false, 2],
];
const FIXED_FOLDERS = ["Plant", "Plant.Line1", "Plant.Line1.Motor"];
const genName = (i) => `Gen.F${Math.floor(i / 100)}.V${i}`;
const nodeOf = (fullName) => `ns=1;s=${fullName}`;
const lastPart = (fullName) => fullName.slice(fullName.lastIndexOf(".") + 1);

let serverCommand;   // argv of the server under test
let nodeServer = false;

async function withSession(server, fn, clientOptions = {}, identity) {
  const client = makeClient(clientOptions);
  await withTimeout(client.connect(server.endpoint), 20000, "connect");
  try {
    const session = await withTimeout(client.createSession(identity), 20000, "createSession");
    try {
      return await fn(session, client);
    } finally {
      await withTimeout(session.close(), 10000, "closeSession").catch(() => {});
    }
  } finally {
    await withTimeout(client.disconnect(), 10000, "disconnect").catch(() => {});
  }
}

function statusName(sc) {
  return sc && sc.name ? sc.name : String(sc);
}
function assertStatus(sc, expected, what) {
  assert.equal(statusName(sc), statusName(expected), `${what}: status`);
}

// Browses one node completely, following continuation points.
async function browseAll(session, nodeId, stats) {
  let result = await session.browse({
    nodeId, browseDirection: opcua.BrowseDirection.Forward, referenceTypeId: "HierarchicalReferences",
    includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
  });
  assertStatus(result.statusCode, StatusCodes.Good, `browse ${nodeId}`);
  const refs = [...result.references];
  for (let guard = 0; result.continuationPoint && result.continuationPoint.length; ++guard) {
    assert.ok(guard < 1000, `browseNext of ${nodeId} does not end`);
    stats.browseNext++;
    result = await session.browseNext(result.continuationPoint, false);
    assertStatus(result.statusCode, StatusCodes.Good, `browseNext ${nodeId}`);
    refs.push(...result.references);
  }
  return refs;
}

const CASES = {
  // SecurityPolicy None: endpoints, servers, a session, one read, a clean close.
  async connect() {
    const server = await startServer(serverCommand);
    const client = makeClient();
    await client.connect(server.endpoint);
    const endpoints = await client.getEndpoints();
    const none = endpoints.find((e) => e.securityPolicyUri === opcua.SecurityPolicy.None
      && e.securityMode === opcua.MessageSecurityMode.None);
    assert.ok(none, `no None endpoint in ${endpoints.map((e) => e.securityPolicyUri)}`);
    // The endpoint names the host the client connected with, so clients can follow it.
    assert.equal(none.endpointUrl.replace(/\/$/, ""), server.endpoint);
    assert.ok(none.userIdentityTokens.some((t) => t.tokenType === UserTokenType.Anonymous), "anonymous offered");
    const servers = await client.findServers();
    assert.ok(servers.length >= 1, "FindServers");
    if (!nodeServer) assert.equal(servers[0].applicationUri, "urn:uademo");
    const session = await client.createSession();
    const state = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
    assertStatus(state.statusCode, StatusCodes.Good, "ServerState");
    assert.equal(state.value.value, 0, "server state Running");
    await server.waitStats((s) => s.clients === 1 && s.sessions === 1, 5000, "one client");
    await session.close();
    await client.disconnect();
    await server.waitStats((s) => s.clients === 0 && s.sessions === 0, 10000, "after close");
    // Reached by another name, the server names that one ("localhost" is in /etc/hosts;
    // node-opcua names its configured host instead).
    const byName = makeClient();
    await byName.connect(`opc.tcp://localhost:${server.port}`);
    const named = await byName.getEndpoints();
    await byName.disconnect();
    if (!nodeServer) assert.ok(named.length && named.every((e) => e.endpointUrl.startsWith(`opc.tcp://localhost:${server.port}`)),
      `endpoints for localhost: ${named.map((e) => e.endpointUrl)}`);
    await server.stop();
  },

  // The whole tree below Objects, with small browse pages so continuation points are used;
  // every node reached answers Read; browse paths resolve to the string node ids.
  async browse() {
    const server = await startServer(serverCommand, { vars: 250 });
    await withSession(server, async (session) => {
      session.requestedMaxReferencesPerNode = 40;
      const stats = { browseNext: 0 };
      const seen = new Map();  // node id -> reference that led to it
      const queue = [{ id: "ns=0;i=85", depth: 0 }];
      while (queue.length) {
        const { id, depth } = queue.shift();
        assert.ok(depth < 12, `tree deeper than expected at ${id}`);
        for (const ref of await browseAll(session, id, stats)) {
          const key = ref.nodeId.toString();
          if (seen.has(key)) continue;
          seen.set(key, ref);
          assert.ok(seen.size < 20000, "browse does not end");
          if (ref.nodeClass === NodeClass.Object || ref.nodeClass === NodeClass.Variable) queue.push({ id: key, depth: depth + 1 });
        }
      }
      assert.ok(stats.browseNext > 0, "continuation points used");
      // Every reached node answers Read of its identity attributes.
      const ids = [...seen.keys()];
      for (let i = 0; i < ids.length; i += 500) {
        const batch = ids.slice(i, i + 500);
        const reads = batch.flatMap((nodeId) => [AttributeIds.NodeClass, AttributeIds.BrowseName, AttributeIds.DisplayName]
          .map((attributeId) => ({ nodeId, attributeId })));
        const values = await session.read(reads);
        values.forEach((dv, k) => assertStatus(dv.statusCode, StatusCodes.Good, `read ${reads[k].nodeId} attribute ${reads[k].attributeId}`));
      }
      // Namespace 1 holds exactly our folders and variables.
      const ours = [...seen.entries()].filter(([, r]) => r.nodeId.namespace === 1);
      const vars = new Map(ours.filter(([, r]) => r.nodeClass === NodeClass.Variable).map(([k, r]) => [k, r]));
      const folders = ours.filter(([, r]) => r.nodeClass === NodeClass.Object).map(([, r]) => r);
      const expectedVars = [...FIXED.map((f) => f[0]), ...Array.from({ length: 250 }, (_, i) => genName(i))];
      // (node-opcua's own server keeps more of its nodes in namespace 1)
      if (!nodeServer) assert.equal(vars.size, expectedVars.length, "variables in namespace 1");
      for (const name of expectedVars) {
        const ref = vars.get(nodeOf(name));
        assert.ok(ref, `variable ${name} not found`);
        assert.equal(ref.browseName.name, lastPart(name), `browse name of ${name}`);
        assert.equal(ref.displayName.text, name.replace(/\./g, "_"), `display name of ${name}`);
        assert.equal(ref.typeDefinition.toString(), "ns=0;i=63", `type definition of ${name}`);
      }
      const ourFolders = folders.filter((f) => !nodeServer || f.nodeId.toString().startsWith("ns=1;s=folder:"));
      const folderNames = ourFolders.map((f) => f.browseName.name).sort();
      assert.deepEqual(folderNames, ["F0", "F1", "F2", "Gen", "Line1", "Motor", "Plant"], "folders");
      for (const f of ourFolders) assert.equal(f.typeDefinition.toString(), "ns=0;i=61", `type of folder ${f.browseName.name}`);
      // The Server object and its main children are reachable too.
      for (const id of ["ns=0;i=2253", "ns=0;i=2254", "ns=0;i=2255", "ns=0;i=2256", "ns=0;i=2268"])
        assert.ok(seen.has(id), `${id} reachable from Objects`);

      const paths = [["/Objects/1:Plant/1:Line1/1:Speed", "Plant.Line1.Speed"], ["/Objects/1:Gen/1:F2/1:V249", genName(249)]];
      for (const [p, name] of paths) {
        const r = await session.translateBrowsePath(opcua.makeBrowsePath("RootFolder", p));
        assertStatus(r.statusCode, StatusCodes.Good, `translate ${p}`);
        assert.equal(r.targets[0].targetId.toString(), nodeOf(name), `target of ${p}`);
      }
      const missing = await session.translateBrowsePath(opcua.makeBrowsePath("RootFolder", "/Objects/1:Plant/1:Nope"));
      assert.ok(missing.statusCode.isNotGood(), "unknown browse path refused");
    });
    await server.stop();
  },

  // Every attribute of each fixed variable, refused attributes and nodes, a Bad value.
  async read_attributes() {
    const server = await startServer(serverCommand);
    await withSession(server, async (session) => {
      const attrs = ["NodeId", "NodeClass", "BrowseName", "DisplayName", "Description", "WriteMask", "UserWriteMask",
        "Value", "DataType", "ValueRank", "ArrayDimensions", "AccessLevel", "UserAccessLevel",
        "MinimumSamplingInterval", "Historizing"];
      for (const [name, dataType, writable, initial] of FIXED) {
        const nodeId = nodeOf(name);
        const dvs = await session.read(attrs.map((a) => ({ nodeId, attributeId: AttributeIds[a] })), 0);
        const at = Object.fromEntries(attrs.map((a, i) => [a, dvs[i]]));
        for (const a of attrs) assertStatus(at[a].statusCode, StatusCodes.Good, `${name} ${a}`);
        assert.equal(at.NodeId.value.value.toString(), nodeId);
        assert.equal(at.NodeClass.value.value, NodeClass.Variable);
        assert.equal(at.BrowseName.value.value.name, lastPart(name));
        assert.equal(at.BrowseName.value.value.namespaceIndex, 1);
        assert.equal(at.DisplayName.value.value.text, name.replace(/\./g, "_"));
        assert.equal(at.DataType.value.value.toString(), `ns=0;i=${dataType}`, `${name} DataType`);
        assert.equal(at.ValueRank.value.value, -1, `${name} ValueRank`);
        assert.equal(at.Value.value.dataType, dataType, `${name} value type`);
        if (initial !== undefined) assert.equal(at.Value.value.value, initial, `${name} value`);
        const level = writable ? 3 : 1;  // CurrentRead (1) | CurrentWrite (2)
        assert.equal(at.AccessLevel.value.value & 3, level, `${name} AccessLevel`);
        assert.equal(at.UserAccessLevel.value.value & 3, level, `${name} UserAccessLevel`);
        assert.equal(at.Historizing.value.value, false);
        assert.equal(at.WriteMask.value.value, 0);
        assert.ok(at.MinimumSamplingInterval.value.value >= 0, `${name} MinimumSamplingInterval`);
        assert.ok(at.Value.sourceTimestamp && at.Value.serverTimestamp, `${name} time stamps`);
      }

      const refused = [
        [nodeOf("Plant.Count"), AttributeIds.EventNotifier, StatusCodes.BadAttributeIdInvalid],
        [nodeOf("Plant.Count"), AttributeIds.IsAbstract, StatusCodes.BadAttributeIdInvalid],
        [nodeOf("Plant.Count"), AttributeIds.Executable, StatusCodes.BadAttributeIdInvalid],
        [nodeOf("Plant"), AttributeIds.Value, StatusCodes.BadAttributeIdInvalid],
        [nodeOf("No.Such.Node"), AttributeIds.Value, StatusCodes.BadNodeIdUnknown],
        ["ns=7;i=1", AttributeIds.BrowseName, StatusCodes.BadNodeIdUnknown],
      ];
      refused[3][0] = await folderId(session, "Plant");
      const dvs = await session.read(refused.map(([nodeId, attributeId]) => ({ nodeId, attributeId })));
      refused.forEach(([nodeId, a, expected], i) => assertStatus(dvs[i].statusCode, expected, `${nodeId} attribute ${a}`));

      const folder = (await session.read([{ nodeId: refused[3][0], attributeId: AttributeIds.EventNotifier },
        { nodeId: refused[3][0], attributeId: AttributeIds.NodeClass }]));
      assertStatus(folder[0].statusCode, StatusCodes.Good, "folder EventNotifier");
      assert.equal(folder[1].value.value, NodeClass.Object);

      // A Bad status from the device carries a null value; the next good value replaces it.
      const temp = { nodeId: nodeOf("Plant.Line1.Temperature"), attributeId: AttributeIds.Value };
      await server.command("set Plant.Line1.Temperature 5 bad");
      let dv = await session.read(temp, 0);
      assert.equal(dv.statusCode.value, BAD_FROM_DEVICE, "bad status passed on");
      assert.equal(dv.value.dataType, DataType.Null, "no value with a Bad status");
      await server.command("set Plant.Line1.Temperature 22.5");
      dv = await session.read(temp, 0);
      assertStatus(dv.statusCode, StatusCodes.Good, "good again");
      assert.equal(dv.value.value, 22.5);
    });
    await server.stop();
  },

  // ServerStatus as one structure and as its children, arrays and the operation limits.
  async server_status() {
    const server = await startServer(serverCommand);
    await withSession(server, async (session) => {
      const dv = await session.read({ nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value });
      assertStatus(dv.statusCode, StatusCodes.Good, "ServerStatus");
      const st = dv.value.value;
      assert.equal(st.state, 0, "state Running");
      assert.ok(st.startTime instanceof Date && st.currentTime instanceof Date, "time stamps");
      assert.ok(st.startTime <= st.currentTime, "started before now");
      if (!nodeServer) {
        assert.equal(st.buildInfo.productName, "uademo");
        assert.equal(st.buildInfo.manufacturerName, "Tarnwell");
        assert.equal(st.buildInfo.softwareVersion, "3.0.0.1");
        assert.equal(st.buildInfo.buildNumber, "3.0.0.1");
      }
      assert.equal(st.buildInfo.buildDate.toISOString(), "2023-12-01T10:00:00.000Z");
      const ids = { ServerArray: 2254, NamespaceArray: 2255, StartTime: 2257, CurrentTime: 2258, State: 2259,
        BuildInfo: 2260, ProductName: 2261, ServiceLevel: 2267, MaxNodesPerRead: 11705, MaxNodesPerWrite: 11707,
        MaxNodesPerBrowse: 11710, MaxMonitoredItemsPerCall: 11714, MaxBrowseContinuationPoints: 2735 };
      const names = Object.keys(ids);
      const dvs = await session.read(names.map((n) => ({ nodeId: `ns=0;i=${ids[n]}`, attributeId: AttributeIds.Value })));
      const v = Object.fromEntries(names.map((n, i) => [n, dvs[i]]));
      for (const n of names) assertStatus(v[n].statusCode, StatusCodes.Good, n);
      assert.equal(v.NamespaceArray.value.value[0], "http://opcfoundation.org/UA/");
      assert.ok(v.NamespaceArray.value.value.length >= 2, "a namespace of ours");
      if (!nodeServer) assert.equal(v.ServerArray.value.value[0], "urn:uademo");
      assert.equal(v.State.value.value, 0);
      assert.equal(v.ProductName.value.value, st.buildInfo.productName);
      assert.equal(v.BuildInfo.value.value.buildNumber, st.buildInfo.buildNumber);
      // Clients size their requests from these: zero would mean "no limit" to some and an
      // error to others, so each must carry a real limit.
      for (const n of ["MaxNodesPerRead", "MaxNodesPerWrite", "MaxNodesPerBrowse", "MaxMonitoredItemsPerCall"])
        assert.ok(v[n].value.value > 0, `${n} is ${v[n].value.value}`);
      assert.ok(v.ServiceLevel.value.value > 0, "ServiceLevel");
    });
    await server.stop();
  },

  // Writes of each type, of other numeric types than the node's, and refused writes; the
  // callback lines must be exactly those of the accepted writes, in order.
  async write() {
    const server = await startServer(serverCommand);
    const G = StatusCodes.Good;
    const cases = [
      // node, variant type, value, expected status, expected callback value
      ["Plant.Line1.Motor.Setpoint", DataType.Double, 12.5, G, "12.5"],
      ["Plant.Count", DataType.Int32, -7, G, "-7"],
      ["Plant.Running", DataType.Boolean, false, G, "0"],
      ["Plant.Line1.Speed", DataType.Float, 2.5, G, "2.5"],
      ["Plant.Count", DataType.Double, 9, G, "9"],
      ["Plant.Count", DataType.UInt16, 65535, G, "65535"],
      ["Plant.Line1.Motor.Setpoint", DataType.Int16, -3, G, "-3"],
      ["Plant.Line1.Motor.Setpoint", DataType.UInt32, 4000000000, G, "4000000000"],
      ["Plant.Line1.Motor.Setpoint", DataType.Byte, 200, G, "200"],
      ["Plant.Line1.Motor.Setpoint", DataType.SByte, -100, G, "-100"],
      ["Plant.Line1.Motor.Setpoint", DataType.Boolean, true, G, "1"],
      ["Plant.Line1.Speed", DataType.Double, 0.25, G, "0.25"],
      ["Plant.Running", DataType.Int32, 1, G, "1"],
      ["Plant.Line1.Temperature", DataType.Double, 1, StatusCodes.BadNotWritable],
      ["Plant.Line1.Motor.Mode", DataType.Int32, 1, StatusCodes.BadNotWritable],
      ["Plant.Label", DataType.String, "x", StatusCodes.BadNotWritable],
      ["Plant.Line1.Motor.Setpoint", DataType.String, "12", StatusCodes.BadTypeMismatch],
      // No device takes these: refused, never handed to the callback.
      ["Plant.Line1.Motor.Setpoint", DataType.Double, NaN, StatusCodes.BadOutOfRange],
      ["Plant.Line1.Speed", DataType.Float, Infinity, StatusCodes.BadOutOfRange],
      ["Plant.Line1.Motor.Setpoint", DataType.Double, -Infinity, StatusCodes.BadOutOfRange],
      ["No.Such.Node", DataType.Double, 1, StatusCodes.BadNodeIdUnknown],
    ];
    await withSession(server, async (session) => {
      const from = server.lines.length;
      const results = await session.write(cases.map(([name, dataType, value]) => ({
        nodeId: nodeOf(name), attributeId: AttributeIds.Value, value: { value: { dataType, value } },
      })));
      const failures = [];
      cases.forEach(([name, dataType, value, expected], i) => {
        if (statusName(results[i]) !== statusName(expected))
          failures.push(`${name} <- ${DataType[dataType]} ${value}: ${statusName(results[i])}, expected ${statusName(expected)}`);
      });
      // A last write as a marker: every callback of the request above came before it.
      const marker = await session.write({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Int32, value: 123 } } });
      assertStatus(marker, G, "marker write");
      await server.waitLine(/^write Plant\.Count 123$/, 10000, from);
      const expectedLines = cases.filter((c, i) => c[4] && statusName(results[i]) === "Good")
        .map(([name, , , , d]) => `write ${name} ${d}`);
      assert.deepEqual(server.writes(from), [...expectedLines, "write Plant.Count 123"], "write callbacks");
      assert.deepEqual(failures, [], "write results");
      // Only the Value attribute is writable.
      const other = await session.write({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.DisplayName,
        value: { value: { dataType: DataType.LocalizedText, value: { text: "x" } } } });
      assert.ok(other.isNotGood(), `DisplayName write: ${statusName(other)}`);
    });
    await server.stop();
  },

  // Messages larger than a chunk both ways: with 8 KiB buffers a write of 1000 values is
  // a request of many chunks and a read of 5000 values an answer of many chunks.
  async large_messages() {
    const N = 5000;
    const server = await startServer(serverCommand, { vars: N });
    const small = { transportSettings: { receiveBufferSize: 8192, sendBufferSize: 8192, maxChunkCount: 4096,
      maxMessageSize: 16 * 1024 * 1024 } };
    await withSession(server, async (session) => {
      const limit = (await session.read({ nodeId: "ns=0;i=11705", attributeId: AttributeIds.Value })).value.value;
      const count = Math.min(N, limit);
      assert.ok(count >= 1000, `MaxNodesPerRead ${limit}`);
      const dvs = await session.read(Array.from({ length: count }, (_, i) => ({ nodeId: nodeOf(genName(i)), attributeId: AttributeIds.Value })));
      assert.equal(dvs.length, count);
      dvs.forEach((dv, i) => assert.equal(dv.value.value, i, `value ${i}`));

      const from = server.lines.length;
      const results = await session.write(Array.from({ length: 1000 }, (_, i) => ({
        nodeId: nodeOf(genName(i)), attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Double, value: i + 0.5 } },
      })));
      results.forEach((sc, i) => assertStatus(sc, StatusCodes.Good, `write ${i}`));
      await server.waitLine(/^write Gen\.F9\.V999 999\.5$/, 10000, from);
      assert.deepEqual(server.writes(from), Array.from({ length: 1000 }, (_, i) => `write ${genName(i)} ${i + 0.5}`));
    }, small);
    await server.stop();
  },

  // A secure channel with a 2 s token: the client renews it several times while it
  // keeps reading, and every read succeeds across the renewals.
  async channel_renew() {
    const server = await startServer(serverCommand);
    await withSession(server, async (session, client) => {
      let renewals = 0;
      client.on("security_token_renewed", () => ++renewals);
      const until = Date.now() + 7000;
      let reads = 0;
      while (Date.now() < until || renewals < 2) {
        assert.ok(Date.now() < until + 15000, `only ${renewals} renewals`);
        const dv = await session.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
        assertStatus(dv.statusCode, StatusCodes.Good, `read ${reads}`);
        ++reads;
        await sleep(100);
      }
      assert.ok(renewals >= 2, `renewals: ${renewals}`);
      await server.waitStats((s) => s.clients === 1 && s.sessions === 1, 5000, "one channel, one session");
    }, { defaultSecureTokenLifetime: 2000 });
    await server.stop();
  },

  // 100 monitored items; rounds of changes pushed by "set" (one round Bad) must each reach
  // every item exactly once, in order.
  async subscribe() {
    const N = 100, ROUNDS = 8, BAD_ROUND = 4;
    const server = await startServer(serverCommand, { vars: N });
    await withSession(server, async (session) => {
      const sub = opcua.ClientSubscription.create(session, {
        requestedPublishingInterval: 50, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20,
        maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
      });
      await withTimeout(new Promise((resolve, reject) => {
        sub.once("started", resolve);
        sub.once("internal_error", reject);
      }), 10000, "CreateSubscription");
      const received = new Map(Array.from({ length: N }, (_, i) => [nodeOf(genName(i)), []]));
      const group = await sub.monitorItems(
        Array.from({ length: N }, (_, i) => ({ nodeId: nodeOf(genName(i)), attributeId: AttributeIds.Value })),
        { samplingInterval: 50, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
      group.on("changed", (item, dv) => {
        const list = received.get(item.itemToMonitor.nodeId.toString());
        list.push(dv.statusCode.isGood() ? dv.value.value : (dv.value.dataType === DataType.Null ? "bad" : "bad+value"));
      });
      await server.waitStats((s) => s.subscriptions === 1 && s.monitoredItems === N, 5000, "items created");
      const expected = new Map([...received.keys()].map((k, i) => [k, [i]]));  // initial values
      const waitAll = async (count, what) => {
        const until = Date.now() + 15000;
        while ([...received.values()].some((l) => l.length < count)) {
          if (Date.now() > until) {
            const short = [...received.entries()].filter(([, l]) => l.length < count).map(([k, l]) => `${k}: ${l}`);
            throw new Error(`${what}: ${short.length} items short, e.g. ${short.slice(0, 3).join("; ")}`);
          }
          await sleep(20);
        }
      };
      await waitAll(1, "initial values");
      for (let r = 1; r <= ROUNDS; ++r) {
        const bad = r === BAD_ROUND;
        for (let i = 0; i < N; ++i) {
          const value = r * 1000 + i;
          server.send(`set ${genName(i)} ${value}${bad ? " bad" : ""}`);
          expected.get(nodeOf(genName(i))).push(bad ? "bad" : value);
        }
        await waitAll(r + 1, `round ${r}`);
      }
      await sleep(300);  // nothing more may come
      for (const [k, list] of received) assert.deepEqual(list, expected.get(k), `notifications of ${k}`);
      assert.ok(!server.lines.some((l) => l.startsWith("error")), "all updates taken");
      await sub.terminate();
      await server.waitStats((s) => s.subscriptions === 0 && s.monitoredItems === 0, 5000, "subscription deleted");
    });
    await server.stop();
  },

  // With a user set: UserName with the right password works; a wrong password or user
  // name is BadUserAccessDenied; anonymous is neither offered nor accepted.
  async user() {
    await userCase({});
  },

  // The same with the server certificate and key loaded, so clients may encrypt the
  // password with the server's key when the server's token policy asks for it.
  async user_cert() {
    const { cert, key } = makeServerCertificate();
    await userCase({ cert, key }, fs.readFileSync(cert));
    // Over a secure channel the password is encrypted with the channel's policy
    // (RSA-OAEP with SHA-1, or SHA-256 for Aes256_Sha256_RsaPss).
    const user = "operator", pass = "Secr3t pass";
    const server = await startServer(serverCommand, { user, pass, cert, key });
    for (const c of SECURE.filter((x) => x.mode === opcua.MessageSecurityMode.Sign)) {
      await withSession(server, async (session) => {
        const dv = await session.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
        assert.equal(dv.value.value, 42, `${c.name} with a user name`);
      }, secureOptions(c), { type: UserTokenType.UserName, userName: user, password: pass });
    }
    await server.stop();
  },

  // Every secure policy in Sign and SignAndEncrypt: the endpoints carry the server
  // certificate and rank SignAndEncrypt above Sign; over each one a client browses,
  // reads, writes and gets a pushed change through a subscription.
  async secure() {
    const { cert, key } = makeServerCertificate();
    const server = await startServer(serverCommand, { cert, key, vars: 10 });
    const probe = makeClient();
    await probe.connect(server.endpoint);
    const endpoints = await probe.getEndpoints();
    await probe.disconnect();
    const certificate = fs.readFileSync(cert);
    assert.ok(endpoints.some((e) => e.securityMode === opcua.MessageSecurityMode.None), "None offered");
    for (const c of SECURE) {
      const e = endpoints.find((x) => x.securityPolicyUri === c.policy && x.securityMode === c.mode);
      assert.ok(e, `no endpoint ${c.name}`);
      if (!nodeServer) assert.ok(e.serverCertificate && e.serverCertificate.equals(certificate), `certificate of ${c.name}`);
      const sign = endpoints.find((x) => x.securityPolicyUri === c.policy && x.securityMode === opcua.MessageSecurityMode.Sign);
      assert.ok(e.securityLevel > 0, `level of ${c.name}`);
      if (c.mode === opcua.MessageSecurityMode.SignAndEncrypt) assert.ok(e.securityLevel > sign.securityLevel, `level of ${c.name}`);
    }
    for (const [k, c] of SECURE.entries()) {
      await withSession(server, async (session) => {
        const top = await browseAll(session, "ns=0;i=85", { browseNext: 0 });
        const plant = top.find((r) => r.browseName.name === "Plant");
        assert.ok(plant, `${c.name} browse: no Plant below Objects`);
        const refs = await browseAll(session, plant.nodeId, { browseNext: 0 });
        const names = refs.map((r) => r.browseName.name);
        assert.ok(names.includes("Count") && names.includes("Line1"), `${c.name} browse: ${names}`);
        const dv = await session.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
        assertStatus(dv.statusCode, StatusCodes.Good, `${c.name} read`);
        assert.equal(dv.value.value, 42, `${c.name} read`);
        const from = server.lines.length;
        const sc = await session.write({ nodeId: nodeOf("Plant.Line1.Motor.Setpoint"), attributeId: AttributeIds.Value,
          value: { value: { dataType: DataType.Double, value: 50 + k } } });
        assertStatus(sc, StatusCodes.Good, `${c.name} write`);
        await server.waitLine(new RegExp(`^write Plant\\.Line1\\.Motor\\.Setpoint ${50 + k}$`), 5000, from);
        const values = await subscribeValues(session, genName(k));
        await waitFor(() => values.includes(k), 10000, `${c.name} initial value`);
        server.send(`set ${genName(k)} ${1000 + k}`);
        await waitFor(() => values.includes(1000 + k), 10000, `${c.name} pushed change`);
      }, secureOptions(c));
    }
    await server.stop();
  },

  // A signed chunk with one byte flipped and a chunk sent a second time (its sequence
  // number replayed) each end their own channel with the matching status, under Sign and
  // SignAndEncrypt, while another client's channel goes on.
  async secure_attacks() {
    const { cert, key } = makeServerCertificate();
    const server = await startServer(serverCommand, { cert, key, args: ["--log", "3"] });
    const sockets = trackSockets();
    const byName = (n) => SECURE.find((c) => c.name === n);
    await withSession(server, async (bystander) => {
      const attacks = [
        ["Basic256Sha256/SignAndEncrypt", "flip", "BadSecurityChecksFailed"],
        ["Aes256_Sha256_RsaPss/Sign", "flip", "BadSecurityChecksFailed"],
        ["Aes128_Sha256_RsaOaep/SignAndEncrypt", "replay", "BadSequenceNumberInvalid"],
        ["Basic256Sha256/Sign", "replay", "BadSequenceNumberInvalid"],
      ];
      for (const [policy, attack, expected] of attacks) {
        const what = `${attack} ${policy}`;
        const client = makeClient({ ...secureOptions(byName(policy)), connectionStrategy: { maxRetry: 0 } });
        client.on("backoff", () => client.disconnect().catch(() => {}));  // no reconnection
        await client.connect(server.endpoint);
        const session = await client.createSession();
        const socket = sockets[sockets.length - 1];  // the secure channel's connection
        const errors = [];
        socket.on("data", (d) => {
          const at = d.indexOf("ERRF");
          if (at >= 0 && d.length >= at + 12) errors.push(d.readUInt32LE(at + 8));
        });
        const write = socket.write;
        let last = null, flip = attack === "flip";
        socket.write = function (data, ...rest) {
          if (Buffer.isBuffer(data) && data.subarray(0, 3).toString() === "MSG") {
            if (flip) {
              flip = false;
              data = Buffer.from(data);
              data[30] ^= 0x01;  // in the signed (and encrypted) part
            }
            last = Buffer.from(data);
          }
          return write.call(this, data, ...rest);
        };
        const read = session.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
        if (attack === "replay") {
          await read;
          write.call(socket, last);
        } else {
          read.catch(() => {});
        }
        await waitFor(() => errors.length > 0, 10000, `${what}: Error message`);
        assert.equal(opcua.StatusCode.makeStatusCode(errors[0]).name, expected, what);
        // Only that channel ended: the other client reads on.
        const dv = await bystander.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
        assertStatus(dv.statusCode, StatusCodes.Good, `${what}: the other channel`);
        await client.disconnect().catch(() => {});
        await server.waitStats((s) => s.clients === 1, 10000, `${what}: one channel left`);
      }
    }, secureOptions(byName("Basic256Sha256/SignAndEncrypt")));
    await server.stop();
  },

  // Without the None endpoint: GetEndpoints lists only secure ones, a None channel serves
  // discovery but no session, secure channels work.
  async secure_no_none() {
    const { cert, key } = makeServerCertificate();
    const server = await startServer(serverCommand, { cert, key, args: ["--no-none"] });
    const probe = makeClient({ connectionStrategy: { maxRetry: 0 } });
    await probe.connect(server.endpoint);
    const endpoints = await probe.getEndpoints();
    assert.equal(endpoints.length, SECURE.length, `endpoints ${endpoints.map((e) => `${e.securityPolicyUri} ${e.securityMode}`)}`);
    assert.ok(!endpoints.some((e) => e.securityMode === opcua.MessageSecurityMode.None), "no None endpoint");
    // The client will not try what the server does not offer: add None to its copy of
    // the endpoints, so the server itself has to refuse.
    probe._serverEndpoints.push(new opcua.EndpointDescription({ ...endpoints[0],
      securityMode: opcua.MessageSecurityMode.None, securityPolicyUri: opcua.SecurityPolicy.None }));
    const refused = await withTimeout(probe.createSession(), 20000, "createSession").then(() => "created", (e) => e.message);
    assert.match(refused, /BadSecurityPolicyRejected/, `session over None: ${refused}`);
    await probe.disconnect();
    await withSession(server, async (session) => {
      const dv = await session.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
      assert.equal(dv.value.value, 42);
    }, secureOptions(SECURE[SECURE.length - 1]));
    await server.stop();
  },

  // SignAndEncrypt with a two-second token: the channel renews several times while a
  // subscription runs, and every pushed change arrives across the renewals.
  async secure_renew() {
    const { cert, key } = makeServerCertificate();
    const server = await startServer(serverCommand, { cert, key, vars: 1 });
    const c = SECURE.find((x) => x.name === "Basic256Sha256/SignAndEncrypt");
    await withSession(server, async (session, client) => {
      let renewals = 0;
      client.on("security_token_renewed", () => ++renewals);
      const values = await subscribeValues(session, genName(0));
      await waitFor(() => values.includes(0), 10000, "initial value");
      const until = Date.now() + 7000;
      for (let v = 1; Date.now() < until || renewals < 3; ++v) {
        assert.ok(Date.now() < until + 15000, `only ${renewals} renewals`);
        server.send(`set ${genName(0)} ${v}`);
        await waitFor(() => values.includes(v), 10000, `change ${v} after ${renewals} renewals`);
        await sleep(200);
      }
      await server.waitStats((s) => s.clients === 1 && s.sessions === 1 && s.subscriptions === 1, 5000, "one channel");
    }, secureOptions(c, { defaultSecureTokenLifetime: 2000 }));
    await server.stop();
  },

  // 50 clients with a session each at the same time, all served, all cleaned up.
  async many_clients() {
    const N = 50;
    const server = await startServer(serverCommand, { vars: 100 });
    const clients = Array.from({ length: N }, () => makeClient());
    // The first connect makes the client certificate that all of them share.
    await withTimeout(clients[0].connect(server.endpoint), 30000, "connect");
    await Promise.all(clients.slice(1).map((c) => withTimeout(c.connect(server.endpoint), 30000, "connect")));
    const sessions = await Promise.all(clients.map((c) => withTimeout(c.createSession(), 30000, "createSession")));
    await server.waitStats((s) => s.clients === N && s.sessions === N, 10000, `${N} clients`);
    const reads = await Promise.all(sessions.map((s, k) => s.read(
      Array.from({ length: 100 }, (_, i) => ({ nodeId: nodeOf(genName((i + k) % 100)), attributeId: AttributeIds.Value })))));
    reads.forEach((dvs, k) => dvs.forEach((dv, i) => {
      assertStatus(dv.statusCode, StatusCodes.Good, `client ${k} read ${i}`);
      assert.equal(dv.value.value, (i + k) % 100);
    }));
    await Promise.all(sessions.map((s) => withTimeout(s.close(), 10000, "closeSession")));
    await Promise.all(clients.map((c) => withTimeout(c.disconnect(), 10000, "disconnect")));
    await server.waitStats((s) => s.clients === 0 && s.sessions === 0, 10000, "all closed");
    await server.stop();
  },

  // A client process killed without closing anything, and one frozen with an open socket:
  // both leave no session or subscription behind, and the server keeps serving.
  async vanish() {
    const server = await startServer(serverCommand, { vars: 100 });
    const spawnVanisher = async () => {
      const child = childProcess.spawn(process.execPath, [__filename, "--vanisher", server.endpoint], { stdio: ["ignore", "pipe", "inherit"] });
      const up = await withTimeout(new Promise((resolve) => {
        child.stdout.on("data", (d) => d.toString().includes("up") && resolve(true));
        child.on("exit", () => resolve(false));
      }), 30000, "vanishing client start");
      assert.ok(up, "vanishing client started");
      return child;
    };
    const live = (s) => s.clients === 1 && s.sessions === 1 && s.subscriptions === 1 && s.monitoredItems === 10;
    const gone = (s) => s.sessions === 0 && s.subscriptions === 0 && s.monitoredItems === 0;

    // Killed: the socket closes with the process, the session times out after its 3 s.
    const killed = await spawnVanisher();
    await server.waitStats(live, 5000, "killed client up");
    killed.kill("SIGKILL");
    await server.waitStats((s) => s.clients === 0, 10000, "connection of the killed client");
    await server.waitStats(gone, 30000, "session of the killed client");

    // Frozen: the socket stays open, but no request comes any more.
    const frozen = await spawnVanisher();
    await server.waitStats(live, 5000, "frozen client up");
    frozen.kill("SIGSTOP");
    try {
      await server.waitStats(gone, 30000, "session of the frozen client");
    } finally {
      frozen.kill("SIGKILL");
    }
    await server.waitStats((s) => s.clients === 0, 10000, "connection of the frozen client");
    await withSession(server, async (session) => {
      const dv = await session.read({ nodeId: nodeOf(genName(5)), attributeId: AttributeIds.Value });
      assert.equal(dv.value.value, 5);
    });
    await server.stop();
  },
};

async function folderId(session, name) {
  const r = await session.translateBrowsePath(opcua.makeBrowsePath("RootFolder", `/Objects/1:${name}`));
  assertStatus(r.statusCode, StatusCodes.Good, `folder ${name}`);
  return r.targets[0].targetId.toString();
}

// Every secure policy in both modes.
const SECURE = ["Aes128_Sha256_RsaOaep", "Basic256Sha256", "Aes256_Sha256_RsaPss"].flatMap((p) =>
  ["Sign", "SignAndEncrypt"].map((m) => ({
    name: `${p}/${m}`, policy: opcua.SecurityPolicy[p], mode: opcua.MessageSecurityMode[m],
  })));
const secureOptions = (c, extra = {}) => ({ securityPolicy: c.policy, securityMode: c.mode, ...extra });

// A server certificate and key (DER files) made by openssl, as the gateway's template
// does: ApplicationUri urn:uademo in the subject alternative name, 2048-bit RSA.
function makeServerCertificate() {
  const dir = fs.mkdtempSync(path.join(home, "cert-"));
  const cert = path.join(dir, "cert.der"), key = path.join(dir, "key.der");
  const r = childProcess.spawnSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
    "-subj", "/CN=uademo", "-addext", "subjectAltName=URI:urn:uademo,IP:127.0.0.1",
    "-keyout", path.join(dir, "key.pem"), "-out", path.join(dir, "cert.pem")], { encoding: "utf8" });
  if (r.error || r.status !== 0) {
    console.log(`SKIP: openssl cannot make a certificate: ${r.error || r.stderr}`);
    process.exit(SKIP);
  }
  childProcess.execFileSync("openssl", ["x509", "-in", path.join(dir, "cert.pem"), "-outform", "DER", "-out", cert]);
  childProcess.execFileSync("openssl", ["pkey", "-in", path.join(dir, "key.pem"), "-outform", "DER", "-out", key]);
  return { cert, key };
}

async function waitFor(pred, ms, what) {
  const until = Date.now() + ms;
  while (!pred()) {
    if (Date.now() > until) throw new Error(`${what}: not within ${ms} ms`);
    await sleep(20);
  }
}

// A subscription with one monitored item; returns the list its values arrive in.
async function subscribeValues(session, fullName) {
  const sub = await session.createSubscription2({
    requestedPublishingInterval: 50, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20, publishingEnabled: true,
  });
  const item = await sub.monitor({ nodeId: nodeOf(fullName), attributeId: AttributeIds.Value },
    { samplingInterval: 50, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
  const values = [];
  item.on("changed", (dv) => values.push(dv.value.value));
  return values;
}

// The sockets node-opcua's clients open from now on, newest last: a test reaches the
// bytes of one channel through them.
function trackSockets() {
  const net = require("node:net");
  const sockets = [];
  const create = net.createConnection;
  net.createConnection = function (...args) {
    const s = create.apply(this, args);
    sockets.push(s);
    return s;
  };
  return sockets;
}

async function userCase(opts, certificate) {
  const user = "operator", pass = "Secr3t pass";
  const server = await startServer(serverCommand, { user, pass, ...opts });
  const client = makeClient();
  await client.connect(server.endpoint);
  const endpoints = await client.getEndpoints();
  const tokens = endpoints.flatMap((e) => e.userIdentityTokens);
  assert.ok(tokens.some((t) => t.tokenType === UserTokenType.UserName), "UserName offered");
  assert.ok(!tokens.some((t) => t.tokenType === UserTokenType.Anonymous), "anonymous not offered");
  if (certificate && !nodeServer) {
    assert.ok(endpoints.every((e) => e.serverCertificate && e.serverCertificate.equals(certificate)), "server certificate in endpoints");
  }
  const policy = tokens.find((t) => t.tokenType === UserTokenType.UserName).securityPolicyUri || "(the channel's)";
  console.log(`UserName token policy: ${policy}`);
  // With its key loaded the server has clients encrypt the password (RSA-OAEP), so the
  // right password below also shows that the server decrypts it.
  if (certificate) assert.match(policy, /#(Basic256Sha256|Aes128_Sha256_RsaOaep|Aes256_Sha256_RsaPss|Basic256)$/, "password encrypted");
  await client.disconnect();

  const attempt = async (identity, patchAnonymous) => {
    const c = makeClient({ connectionStrategy: { maxRetry: 0 } });
    await c.connect(server.endpoint);
    try {
      if (patchAnonymous) {
        // The client will not try what the server does not offer: add the token policy to
        // its copy of the endpoints, so the server itself has to refuse.
        for (const e of c._serverEndpoints) {
          e.userIdentityTokens.push(new opcua.UserTokenPolicy({ policyId: "anonymous", tokenType: UserTokenType.Anonymous }));
        }
      }
      const s = await withTimeout(c.createSession(identity), 20000, "createSession");
      const dv = await s.read({ nodeId: nodeOf("Plant.Count"), attributeId: AttributeIds.Value });
      await s.close();
      return dv.value.value === 42 ? "ok" : `read ${dv.value.value}`;
    } catch (e) {
      return e.message;
    } finally {
      await c.disconnect().catch(() => {});
    }
  };
  const right = await attempt({ type: UserTokenType.UserName, userName: user, password: pass });
  assert.equal(right, "ok", "right password");
  const denied = [
    ["wrong password", { type: UserTokenType.UserName, userName: user, password: "wrong" }],
    ["wrong user", { type: UserTokenType.UserName, userName: "nobody", password: pass }],
    ["empty password", { type: UserTokenType.UserName, userName: user, password: "" }],
  ];
  for (const [what, identity] of denied) {
    const r = await attempt(identity);
    assert.match(r, /BadUserAccessDenied/, what);
  }
  const anon = await attempt(undefined, true);
  assert.match(anon, /BadIdentityToken(Invalid|Rejected)|BadUserAccessDenied/, "anonymous refused by the server");
  await server.waitStats((s) => s.sessions === 0, 10000, "no session left by refused logins");
  await server.stop();
}

// Child mode of the vanish case: a session with a short time-out and a subscription,
// then it waits to be killed or frozen.
async function vanisher(endpoint) {
  const client = makeClient({ requestedSessionTimeout: 3000, keepSessionAlive: false });
  await client.connect(endpoint);
  const session = await client.createSession();
  const sub = await session.createSubscription2({
    requestedPublishingInterval: 100, requestedLifetimeCount: 30, requestedMaxKeepAliveCount: 10, publishingEnabled: true,
  });
  await sub.monitorItems(Array.from({ length: 10 }, (_, i) => ({ nodeId: nodeOf(genName(i)), attributeId: AttributeIds.Value })),
    { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
  process.stdout.write("up\n");
  setTimeout(() => process.exit(3), 60000);  // bounded even if nobody kills it
}

async function main() {
  const [name, target, ...rest] = process.argv.slice(2);
  if (name === "--vanisher") return vanisher(target);
  if (!name || !CASES[name] || !target) {
    console.error(`usage: node ua_interop.js <${Object.keys(CASES).join("|")}> <uademo>|--node-server`);
    process.exit(2);
  }
  if (target === "--node-server") {
    nodeServer = true;
    serverCommand = [process.execPath, path.join(__dirname, "lib", "node_server.js")];
  } else {
    if (!fs.existsSync(target)) throw new Error(`no server program ${target}`);
    serverCommand = [target, ...rest];
  }
  const limit = setTimeout(() => {
    console.error(`FAIL ${name}: not finished within ${CASE_LIMIT_MS} ms`);
    process.exit(1);
  }, CASE_LIMIT_MS);
  await CASES[name]();
  clearTimeout(limit);
  console.log(`PASS ${name}`);
  process.exit(0);
}

main().catch((e) => {
  console.error(`FAIL: ${e.stack || e}`);
  process.exit(1);
});
