// Client certificate trust of uaclib (uademo --pki) against node-opcua's client over
// Basic256Sha256 SignAndEncrypt, with certificates made by the openssl program:
//   workflow   an unknown client is refused and kept in rejected/; moved to trust/ it
//              connects, without a restart
//   refusals   an expired certificate and one whose URI is not the ApplicationUri the
//              client states are refused with their status, while a trusted client's
//              session on another channel goes on
//   server_cert  the server certificate the gateway generates from its template passes
//              node-opcua's certificate checks as a trusted server certificate
//
//   node ua_trust.js <case> <path to uademo> [<path to certtmpl.cnf>]
// Exit code 0 passed, 1 failed, 77 skipped.
"use strict";
const assert = require("node:assert/strict");
const childProcess = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const { opcua, SKIP, withTimeout, startServer, makeClient, home } = require("./lib/harness");

const { AttributeIds, StatusCodes } = opcua;
const CASE_LIMIT_MS = 150000;
const CLIENT_URI = "urn:zel:trust-client";

let uademo, template;

// A small openssl CA set-up in `dir`: the "ca" command is what takes explicit dates.
function makePki(dir) {
  fs.mkdirSync(path.join(dir, "newcerts"), { recursive: true });
  fs.writeFileSync(path.join(dir, "index.txt"), "");
  fs.writeFileSync(path.join(dir, "serial"), "1000\n");
  fs.writeFileSync(path.join(dir, "ca.cnf"), [
    "[ ca ]", "default_ca = testca",
    "[ testca ]", "database = index.txt", "new_certs_dir = newcerts", "serial = serial",
    "default_md = sha256", "policy = anything", "unique_subject = no",
    "[ anything ]", "commonName = supplied",
    "[ req ]", "distinguished_name = dn", "prompt = no", "[ dn ]", "CN = x",
    "[ app ]", "basicConstraints = critical, CA:FALSE",
    "keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, keyCertSign",
    "extendedKeyUsage = serverAuth, clientAuth", "subjectKeyIdentifier = hash",
    "subjectAltName = ${ENV::ZEL_SAN}", ""].join("\n"));
  const run = (args, san) => {
    const r = childProcess.spawnSync("openssl", args, { cwd: dir, encoding: "utf8", env: { ...process.env, ZEL_SAN: san || "DNS:x" } });
    if (r.error || r.status !== 0) throw new Error(`openssl ${args.join(" ")}: ${r.error || r.stderr}`);
  };
  // A self-signed application certificate: PEM and DER of the certificate and the key.
  return function make(name, uri, dates = ["-startdate", "20200101000000Z", "-enddate", "20991231000000Z"]) {
    run(["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", `${name}.key`]);
    run(["req", "-new", "-config", "ca.cnf", "-key", `${name}.key`, "-subj", `/CN=${name}`, "-out", `${name}.csr`]);
    run(["ca", "-batch", "-notext", "-config", "ca.cnf", "-selfsign", "-keyfile", `${name}.key`, "-extensions", "app",
      ...dates, "-in", `${name}.csr`, "-out", `${name}.pem`], `URI:${uri},DNS:localhost,IP:127.0.0.1`);
    run(["x509", "-in", `${name}.pem`, "-outform", "DER", "-out", `${name}.der`]);
    run(["pkey", "-in", `${name}.key`, "-outform", "DER", "-out", `${name}_key.der`]);
    const p = (f) => path.join(dir, f);
    return { pem: p(`${name}.pem`), key: p(`${name}.key`), der: p(`${name}.der`), keyDer: p(`${name}_key.der`) };
  };
}

function haveOpenssl() {
  const r = childProcess.spawnSync("openssl", ["version"], { encoding: "utf8" });
  if (r.error || r.status !== 0) {
    console.log("SKIP: the openssl program is missing");
    process.exit(SKIP);
  }
}

// uademo with its own certificate and a PKI folder (its trust/ holding `trusted`);
// `pki` is returned with it.
async function startSecure(make, trusted = []) {
  const server = make("uademo", "urn:uademo");
  const pki = fs.mkdtempSync(path.join(home, "pki-"));
  fs.mkdirSync(path.join(pki, "trust"));
  for (const c of trusted) fs.copyFileSync(c.der, path.join(pki, "trust", path.basename(c.der)));
  const s = await startServer([uademo], { cert: server.der, key: server.keyDer, args: ["--pki", pki, "--log", process.env.ZEL_UA_LOG || "3"] });
  s.pki = pki;
  return s;
}

function secureClient(cert) {
  return makeClient({
    securityMode: opcua.MessageSecurityMode.SignAndEncrypt,
    securityPolicy: opcua.SecurityPolicy.Basic256Sha256,
    certificateFile: cert.pem,
    privateKeyFile: cert.key,
    applicationUri: CLIENT_URI,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
  });
}

// Connects and opens a session; resolves to { client, session } or rejects with the error.
// `statedUri`: the ApplicationUri the client states at CreateSession (node-opcua itself
// always states the one of its certificate).
async function open(server, cert, statedUri) {
  const client = secureClient(cert);
  if (statedUri) client._getApplicationUri = () => statedUri;
  try {
    await withTimeout(client.connect(server.endpoint), 20000, "connect");
    const session = await withTimeout(client.createSession(), 20000, "createSession");
    return { client, session };
  } catch (e) {
    await client.disconnect().catch(() => {});
    throw e;
  }
}

async function close({ client, session }) {
  await withTimeout(session.close(), 10000, "closeSession").catch(() => {});
  await withTimeout(client.disconnect(), 10000, "disconnect").catch(() => {});
}

async function readCount(session) {
  const dv = await session.read({ nodeId: "ns=1;s=Plant.Count", attributeId: AttributeIds.Value });
  assert.equal(dv.statusCode.name, "Good");
  return dv.value.value;
}

// Refused with `status`: node-opcua names the status of a refused session in its error;
// a refused channel ends with an ERR message whose status it only logs, so that one is
// taken from the server's log of the ERR it sent.
async function assertRefused(server, promise, status, what) {
  let err = null;
  const logFrom = server.stderr.length;
  try {
    const opened = await promise;
    await close(opened);
  } catch (e) {
    err = e;
  }
  assert.ok(err, `${what}: accepted`);
  const hex = status.value.toString(16).toUpperCase().padStart(8, "0");
  const text = `${err.message} ${err.cause ? err.cause.message : ""}`;
  const sentErr = server.stderr.slice(logFrom).includes(`error 0x${hex}`);
  assert.ok(text.includes(status.name) || sentErr, `${what}: refused, but not with ${status.name}: ${text}\n${server.stderr.slice(logFrom)}`);
}

const CASES = {
  async workflow() {
    const make = makePki(fs.mkdtempSync(path.join(home, "ca-")));
    const client = make("client", CLIENT_URI);
    const server = await startSecure(make);
    const rejected = path.join(server.pki, "rejected");
    await assertRefused(server, open(server, client), StatusCodes.BadCertificateUntrusted, "unknown client");
    const kept = fs.readdirSync(rejected);
    assert.equal(kept.length, 1, `rejected/: ${kept}`);
    assert.match(kept[0], /^[0-9A-F]{40}\.der$/);
    assert.deepEqual(fs.readFileSync(path.join(rejected, kept[0])), fs.readFileSync(client.der));
    // The administrator's move; the server sees it within its recheck interval.
    fs.renameSync(path.join(rejected, kept[0]), path.join(server.pki, "trust", kept[0]));
    let opened = null;
    for (let i = 0; i < 20 && !opened; ++i) {
      opened = await open(server, client).catch(() => null);
      if (!opened) await new Promise((r) => setTimeout(r, 250));
    }
    assert.ok(opened, "the moved certificate is trusted");
    assert.equal(await readCount(opened.session), 42);
    await close(opened);
    await server.stop();
  },

  async refusals() {
    const make = makePki(fs.mkdtempSync(path.join(home, "ca-")));
    const good = make("good", CLIENT_URI);
    const expired = make("expired", CLIENT_URI, ["-startdate", "20200101000000Z", "-enddate", "20210101000000Z"]);
    const otherUri = make("otheruri", "urn:zel:somebody-else");
    const server = await startSecure(make, [good, expired, otherUri]);
    const bystander = await open(server, good);
    assert.equal(await readCount(bystander.session), 42);

    await assertRefused(server, open(server, expired), StatusCodes.BadCertificateTimeInvalid, "expired client certificate");
    await assertRefused(server, open(server, otherUri, CLIENT_URI), StatusCodes.BadCertificateUriInvalid, "wrong ApplicationUri");
    // Only the refused channels went: the trusted client's session still answers.
    assert.equal(await readCount(bystander.session), 42);
    await server.waitStats((s) => s.clients === 1 && s.sessions === 1, 10000, "only the bystander left");
    await close(bystander);
    await server.stop();
  },

  // The certificate of the gateway's template, checked by node-opcua's certificate
  // manager as a client checks a server's: trusted, it must verify as Good.
  async server_cert() {
    if (!template || !fs.existsSync(template)) throw new Error(`no certificate template ${template}`);
    const dir = fs.mkdtempSync(path.join(home, "tmpl-"));
    const cnf = fs.readFileSync(template, "utf8").replace("{{IPNAME}}",
      "URI.1 = urn:ZelOpcServer3\r\nDNS.1 = localhost\r\nIP.1 = 127.0.0.1\r\n");
    fs.writeFileSync(path.join(dir, "localhost.cnf"), cnf);
    const r = childProcess.spawnSync("openssl", ["req", "-config", "localhost.cnf", "-new", "-nodes", "-x509", "-sha256",
      "-newkey", "rsa:2048", "-keyout", "temp.key", "-subj", "/CN=ZelOpcServer3@localhost", "-days", "7300",
      "-outform", "DER", "-out", "cert.der"], { cwd: dir, encoding: "utf8" });
    assert.equal(r.status, 0, r.stderr);
    const der = fs.readFileSync(path.join(dir, "cert.der"));
    const { OPCUACertificateManager } = opcua;
    const cm = new OPCUACertificateManager({ rootFolder: path.join(dir, "pki"), automaticallyAcceptUnknownCertificate: false });
    await cm.initialize();
    await cm.trustCertificate(der);
    const status = await cm.checkCertificate(der);
    assert.equal(status.name, "Good", `node-opcua's check of the template's certificate: ${status.name}`);
    const info = opcua.exploreCertificate ? opcua.exploreCertificate(der) : require("node-opcua-crypto").exploreCertificate(der);
    const ext = info.tbsCertificate.extensions;
    assert.deepEqual(ext.subjectAltName.uniformResourceIdentifier, ["urn:ZelOpcServer3"]);
    for (const use of ["digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment", "keyCertSign"])
      assert.ok(ext.keyUsage[use], `key usage ${use}`);
    assert.ok(ext.extKeyUsage.serverAuth && ext.extKeyUsage.clientAuth, "extended key usage");
    assert.equal(info.tbsCertificate.subjectPublicKeyInfo.keyLength, 256, "2048-bit key");
    assert.match(String(info.signatureAlgorithm.identifier), /sha256/i, "SHA-256 signature");
    await cm.dispose();
  },
};

async function main() {
  const [name, target, tmpl] = process.argv.slice(2);
  if (!name || !CASES[name] || !target) {
    console.error(`usage: node ua_trust.js <${Object.keys(CASES).join("|")}> <uademo> [certtmpl.cnf]`);
    process.exit(2);
  }
  haveOpenssl();
  uademo = target;
  template = tmpl;
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
