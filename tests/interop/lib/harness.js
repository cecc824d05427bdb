// Shared set-up of every node-opcua script of ours (interop tests, benchmark). Require it
// before node-opcua: it gives the process a private HOME and XDG_CONFIG_HOME (node-opcua
// keeps its certificates there and reads the paths when it is loaded), keeps name look-ups
// on the machine, and starts the server under test as a child driven over stdin/stdout.
"use strict";
const childProcess = require("node:child_process");
const dns = require("node:dns");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");

const SKIP = 77;  // the exit code CTest reports as skipped

// Without the packages the tests cannot run: a build without npm still passes, skipped.
const modulesDir = path.join(__dirname, "..", "node_modules");
if (!fs.existsSync(path.join(modulesDir, "node-opcua"))) {
  console.log(`SKIP: node-opcua is not installed (${modulesDir}); run scripts/install-deps.sh`);
  process.exit(SKIP);
}

// Private folders for node-opcua's PKI, removed at exit.
const home = fs.mkdtempSync(path.join(os.tmpdir(), "zel-ua-"));
process.env.HOME = home;
process.env.XDG_CONFIG_HOME = path.join(home, ".config");
process.env.XDG_DATA_HOME = path.join(home, ".local", "share");
process.env.XDG_CACHE_HOME = path.join(home, ".cache");
process.on("exit", () => fs.rmSync(home, { recursive: true, force: true }));

// node-opcua looks up os.hostname() and its reverse name when loaded and names itself
// after it. Tests run without a resolver, and nothing may ask one: the host is
// "localhost" here, and any look-up of a name other than that or an address literal
// fails at once instead of reaching DNS.
os.hostname = () => "localhost";
const realLookup = dns.lookup;
dns.lookup = function lookup(host, options, callback) {
  if (typeof options === "function") [callback, options] = [options, {}];
  if (net.isIP(host) || host === "localhost") return realLookup.call(dns, host, options, callback);
  const err = Object.assign(new Error(`name look-up of "${host}" is not allowed in tests`), { code: "ENOTFOUND" });
  process.nextTick(callback, err);
  return {};
};
dns.lookupService = (address, port, callback) => {
  process.nextTick(callback, Object.assign(new Error("no reverse look-ups in tests"), { code: "ENOTFOUND" }));
};

const opcua = require("node-opcua");

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Resolves `promise` or rejects after `ms` with a message naming `what`.
function withTimeout(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// The server under test: uademo or the node-opcua server with the same tree and the
// same line protocol (lib/node_server.js). Lines it prints are kept and can be awaited.
class ServerProcess {
  constructor(command, args) {
    this.lines = [];
    this.waiters = [];
    this.exited = null;
    this.child = childProcess.spawn(command[0], [...command.slice(1), ...args], { stdio: ["pipe", "pipe", "pipe"] });
    this.stderr = "";
    this.child.stderr.on("data", (d) => {
      this.stderr += d.toString();
      if (process.env.ZEL_UA_VERBOSE) process.stderr.write(d);
    });
    readline.createInterface({ input: this.child.stdout }).on("line", (line) => {
      this.lines.push(line);
      this.waiters = this.waiters.filter((w) => !w(line));
    });
    this.child.on("exit", (code, signal) => {
      this.exited = { code, signal };
      this.waiters.forEach((w) => w(null));
      this.waiters = [];
    });
    this.child.stdin.on("error", () => {});
  }

  // Waits for a line matching `re` printed after line number `from` (default: any line).
  waitLine(re, ms = 10000, from = 0) {
    const found = this.lines.slice(from).find((l) => re.test(l));
    if (found) return Promise.resolve(found);
    return withTimeout(
      new Promise((resolve, reject) => {
        this.waiters.push((line) => {
          if (line === null) {
            reject(new Error(`server ended while waiting for ${re}: ${JSON.stringify(this.exited)}\n${this.stderr}`));
            return true;
          }
          if (!re.test(line)) return false;
          resolve(line);
          return true;
        });
      }),
      ms,
      `server line ${re}`
    );
  }

  send(line) {
    this.child.stdin.write(line + "\n");
  }

  // Sends a command and waits for its "ok"/"error" answer.
  async command(line, ms = 10000) {
    const from = this.lines.length;
    const words = line.trim().split(/\s+/);
    const ok = "ok " + words.slice(0, words[0] === "set" ? 2 : 1).join(" ");  // "ok set <node>", "ok tick"
    this.send(line);
    const answer = await this.waitLine(/^(ok|error) /, ms, from);
    if (answer !== ok) throw new Error(`${line}: ${answer}`);
    return answer;
  }

  async stats() {
    const from = this.lines.length;
    this.send("stats");
    const line = await this.waitLine(/^stats /, 10000, from);
    const out = {};
    for (const m of line.matchAll(/(\w+)=(\d+)/g)) out[m[1]] = Number(m[2]);
    return out;
  }

  // Polls the statistics until `pred` holds; returns the last ones.
  async waitStats(pred, ms, what) {
    const until = Date.now() + ms;
    let s = await this.stats();
    while (!pred(s)) {
      if (Date.now() > until) throw new Error(`${what}: statistics still ${JSON.stringify(s)} after ${ms} ms`);
      await sleep(100);
      s = await this.stats();
    }
    return s;
  }

  writes(from = 0) {
    return this.lines.slice(from).filter((l) => l.startsWith("write "));
  }

  async stop() {
    if (this.exited) return;
    const done = new Promise((resolve) => this.child.once("exit", resolve));
    this.send("quit");
    const t = setTimeout(() => this.child.kill("SIGKILL"), 5000);
    await done;
    clearTimeout(t);
  }
}

// Starts a server and waits for its ready line; `opts` become its command-line options.
async function startServer(command, opts = {}) {
  const args = ["--port", "0", "--max-seconds", String(opts.maxSeconds || 300)];
  if (opts.vars) args.push("--vars", String(opts.vars));
  if (opts.user) args.push("--user", opts.user, "--pass", opts.pass || "");
  if (opts.cert) args.push("--cert", opts.cert, "--key", opts.key);
  if (opts.tick) args.push("--tick", String(opts.tick));
  if (opts.plainNames) args.push("--plain-names");
  if (opts.args) args.push(...opts.args);
  const server = new ServerProcess(command, args);
  const ready = await server.waitLine(/^ready port=\d+/, opts.readyMs || 60000);
  server.port = Number(/port=(\d+)/.exec(ready)[1]);
  server.endpoint = `opc.tcp://127.0.0.1:${server.port}`;
  return server;
}

// A client for SecurityPolicy None that fails fast instead of retrying for long.
function makeClient(extra = {}) {
  return opcua.OPCUAClient.create({
    applicationName: "ZelInteropTest",
    endpointMustExist: false,
    securityMode: opcua.MessageSecurityMode.None,
    securityPolicy: opcua.SecurityPolicy.None,
    connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 1000 },
    requestedSessionTimeout: 60000,
    ...extra,
  });
}

module.exports = { opcua, SKIP, sleep, withTimeout, startServer, makeClient, ServerProcess, home };
