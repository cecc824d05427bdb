// A bare opc.tcp client for the abuse suite: it writes the binary protocol byte by byte
// (SecurityPolicy None), so an attack can send what no well-behaved stack would: chunks
// that never end, requests it never reads the answers of, tokens of any size.
"use strict";
const net = require("node:net");

const ID = {
  OpenSecureChannel: 446, CreateSession: 461, ActivateSession: 467, Read: 631,
  CreateMonitoredItems: 751, CreateSubscription: 787, Publish: 826, Browse: 527,
  TranslateBrowsePaths: 554, DeleteMonitoredItems: 781,
  AnonymousToken: 321, UserNameToken: 324,
};
const POLICY_NONE = "http://opcfoundation.org/UA/SecurityPolicy#None";
const CHUNK_BODY = 65000;  // body bytes per MSG chunk; the negotiated chunk is 65535

// Little-endian writer of the built-in types (OPC UA Part 6 binary encoding).
class Writer {
  constructor() { this.parts = []; }
  raw(b) { this.parts.push(b); return this; }
  u8(v) { return this.raw(Buffer.from([v])); }
  u16(v) { const b = Buffer.alloc(2); b.writeUInt16LE(v); return this.raw(b); }
  u32(v) { const b = Buffer.alloc(4); b.writeUInt32LE(v >>> 0); return this.raw(b); }
  i32(v) { const b = Buffer.alloc(4); b.writeInt32LE(v); return this.raw(b); }
  f64(v) { const b = Buffer.alloc(8); b.writeDoubleLE(v); return this.raw(b); }
  bytes(b) { return b == null ? this.i32(-1) : this.i32(b.length).raw(b); }
  str(s) { return this.bytes(s == null ? null : Buffer.from(s, "utf8")); }
  numeric(id) { return id < 256 ? this.u8(0).u8(id) : this.u8(1).u8(0).u16(id); }
  stringId(ns, s) { return this.u8(3).u16(ns).str(s); }
  // ExtensionObject with a binary body, or the null one.
  ext(typeId, body) { return body ? this.numeric(typeId).u8(1).bytes(body) : this.numeric(0).u8(0); }
  buf() { return Buffer.concat(this.parts); }
}

class Reader {
  constructor(b) { this.b = b; this.p = 0; }
  u8() { return this.b.readUInt8(this.p++); }
  u32() { const v = this.b.readUInt32LE(this.p); this.p += 4; return v; }
  i32() { const v = this.b.readInt32LE(this.p); this.p += 4; return v; }
  skip(n) { this.p += n; }
  bytes() { const n = this.i32(); if (n < 0) return null; const v = this.b.subarray(this.p, this.p + n); this.p += n; return v; }
  // A NodeId as its raw encoded bytes, to send back as a token.
  nodeId() {
    const start = this.p, kind = this.u8() & 0x0f;
    const sizes = { 0: 1, 1: 3, 2: 6, 4: 18 };
    if (kind in sizes) this.skip(sizes[kind]);
    else { this.skip(2); this.bytes(); }  // string or opaque
    return this.b.subarray(start, this.p);
  }
}

function chunk(type, chunkType, payload) {
  const head = Buffer.alloc(8);
  head.write(type, 0, "latin1");
  head.write(chunkType, 3, "latin1");
  head.writeUInt32LE(8 + payload.length, 4);
  return Buffer.concat([head, payload]);
}

// One connection. Every received chunk is kept; requests are matched by order.
class RawClient {
  static connect(port, localAddress) {
    return new Promise((resolve) => {
      const c = new RawClient();
      c.socket = net.connect({ host: "127.0.0.1", port, localAddress }, () => resolve(c));
      c.socket.on("error", () => {});
      c.socket.on("close", () => { c.closed = true; c.wake(); resolve(c); });
      c.socket.on("data", (d) => { c.received += d.length; c.arrived.push(d); c.wake(); });
    });
  }
  constructor() {
    this.in = Buffer.alloc(0);
    this.arrived = [];  // joined to `in` only when read, so unread answers cost no copies
    this.received = 0;
    this.closed = false;
    this.waiters = [];
    this.channel = 0; this.token = 0; this.seq = 1; this.requestId = 1;
    this.auth = Buffer.from([0, 0]);  // null NodeId until CreateSession
  }
  wake() { const w = this.waiters; this.waiters = []; w.forEach((f) => f()); }
  send(b) { if (!this.closed) this.socket.write(b); }
  // Writes `b` and resolves once the socket took it, so a sender keeps pace with the peer.
  sendDrained(b) {
    if (this.closed) return Promise.resolve();
    return new Promise((resolve) => {
      if (this.socket.write(b)) return resolve();
      this.socket.once("drain", resolve);
      this.socket.once("close", resolve);  // the server ended it: nothing more drains
    });
  }
  close() { this.socket.destroy(); }

  // The next whole message (chunks joined): {type, body} or null when the peer closed.
  async next(ms = 20000) {
    const until = Date.now() + ms;
    const parts = [];
    for (;;) {
      if (this.arrived.length) {
        this.in = Buffer.concat([this.in, ...this.arrived]);
        this.arrived = [];
      }
      while (this.in.length >= 8 && this.in.length >= this.in.readUInt32LE(4)) {
        const size = this.in.readUInt32LE(4);
        const c = this.in.subarray(0, size);
        this.in = this.in.subarray(size);
        const type = c.toString("latin1", 0, 3);
        if (type !== "MSG") return { type, body: c.subarray(8) };
        parts.push(c.subarray(24));
        if (c[3] === 0x46) return { type, body: Buffer.concat(parts) };  // 'F'
      }
      if (this.closed || Date.now() > until) return null;
      await new Promise((resolve) => { this.waiters.push(resolve); setTimeout(resolve, 200); });
    }
  }

  async handshake() {
    const hel = new Writer().u32(0).u32(65535).u32(65535).u32(0).u32(0).str("opc.tcp://127.0.0.1").buf();
    this.send(chunk("HEL", "F", hel));
    if ((await this.next())?.type !== "ACK") return false;
    this.send(this.openRequest(0));
    const r = await this.next();
    if (r?.type !== "OPN") return false;
    const d = new Reader(r.body);
    d.u32(); d.bytes(); d.bytes(); d.bytes(); d.skip(8);  // security and sequence headers
    d.nodeId(); this.skipResponseHeader(d);
    d.u32();
    this.channel = d.u32();
    this.token = d.u32();
    return true;
  }

  // OpenSecureChannel of this connection's channel: issue (0) or renew (1), mode None,
  // a 600 s lifetime.
  openRequest(requestType) {
    const w = new Writer().u32(this.channel).str(POLICY_NONE).bytes(null).bytes(null).u32(this.seq++).u32(this.requestId++);
    w.numeric(ID.OpenSecureChannel);
    this.header(w);
    w.u32(0).u32(requestType).u32(1).bytes(null).u32(600000);
    return chunk("OPN", "F", w.buf());
  }

  header(w, handle = 1) {
    w.raw(this.auth).f64(0).u32(handle).u32(0).str(null).u32(0).ext(0, null);
  }
  skipResponseHeader(d) {
    d.skip(12);
    const result = d.u32();
    d.u8();  // diagnostic info mask (empty)
    const n = d.i32();
    for (let i = 0; i < n; ++i) d.bytes();
    d.nodeId(); d.u8();
    return result;
  }

  // A service request as MSG chunks; `last` false leaves the message unfinished.
  request(typeId, body, last = true) {
    const w = new Writer().numeric(typeId);
    this.header(w, this.requestId);
    const msg = Buffer.concat([w.buf(), body]);
    const out = [];
    const rid = this.requestId++;
    for (let at = 0; at < msg.length || at === 0; at += CHUNK_BODY) {
      const part = msg.subarray(at, at + CHUNK_BODY);
      const final = at + CHUNK_BODY >= msg.length;
      const head = new Writer().u32(this.channel).u32(this.token).u32(this.seq++).u32(rid).buf();
      out.push(chunk("MSG", final && last ? "F" : "C", Buffer.concat([head, part])));
    }
    return Buffer.concat(out);
  }
  // Sends a request and reads its answer: {typeId, result, reader} or null.
  async call(typeId, body) {
    await this.sendDrained(this.request(typeId, body));
    const r = await this.next();
    if (!r || r.type !== "MSG") return null;
    const d = new Reader(r.body);
    const t = d.nodeId();
    const result = this.skipResponseHeader(d);
    return { typeId: t.length === 4 ? t.readUInt16LE(2) : t[1], result, reader: d };
  }

  async createSession(timeoutMs = 3600000) {
    const w = new Writer().str("urn:abuse").str("urn:abuse").u8(0).u32(1).str(null).str(null).i32(-1);
    w.str(null).str("opc.tcp://127.0.0.1").str("abuse").bytes(Buffer.alloc(32, 1)).bytes(null).f64(timeoutMs).u32(0);
    const r = await this.call(ID.CreateSession, w.buf());
    if (!r || r.result !== 0) return r ? r.result : -1;
    r.reader.nodeId();
    this.auth = Buffer.from(r.reader.nodeId());
    r.reader.skip(8);
    this.serverNonce = Buffer.from(r.reader.bytes() || []);
    return 0;
  }
  static activateBody(token) {
    return new Writer().str(null).bytes(null).i32(-1).i32(-1).raw(token).str(null).bytes(null).buf();
  }
  static anonymousToken() { return new Writer().ext(ID.AnonymousToken, new Writer().str("anonymous").buf()).buf(); }
  static userToken(user, secret, algorithm) {
    return new Writer().ext(ID.UserNameToken, new Writer().str("username_rsa").str(user).bytes(secret).str(algorithm).buf()).buf();
  }
  async activate(token = RawClient.anonymousToken()) {
    const r = await this.call(ID.ActivateSession, RawClient.activateBody(token));
    return r ? r.result : -1;
  }
  async login() {
    return (await this.handshake()) && (await this.createSession()) === 0 && (await this.activate()) === 0;
  }
  async subscription() {
    const r = await this.call(ID.CreateSubscription, new Writer().f64(100).u32(100000).u32(1000).u32(0).u8(1).u8(0).buf());
    return r && r.result === 0 ? r.reader.u32() : 0;
  }
  static readBody(names) {
    const w = new Writer().f64(0).u32(2).i32(names.length);
    for (const n of names) w.stringId(1, n).u32(13).str(null).u16(0).str(null);
    return w.buf();
  }
  static monitorBody(subId, names) {
    const w = new Writer().u32(subId).u32(2).i32(names.length);
    names.forEach((n, i) => w.stringId(1, n).u32(13).str(null).u16(0).str(null).u32(2).u32(i).f64(0).ext(0, null).u32(1).u8(1));
    return w.buf();
  }
  // Browse of `count` node descriptions, all of one node (numeric id in namespace 1).
  static browseBody(folder, count) {
    const w = new Writer().numeric(0).f64(0).u32(0).u32(0).i32(count);
    for (let i = 0; i < count; ++i) w.u8(1).u8(1).u16(folder).u32(0).numeric(33).u8(1).u32(0).u32(63);
    return w.buf();
  }
  // One browse path from Objects with `length` Organizes steps, all named `name`.
  static browsePathBody(name, length) {
    const w = new Writer().i32(1).numeric(85).i32(length);
    for (let i = 0; i < length; ++i) w.numeric(35).u8(0).u8(1).u16(1).str(name);
    return w.buf();
  }
  static deleteItemsBody(subId, first, count) {
    const w = new Writer().u32(subId).i32(count);
    for (let i = 0; i < count; ++i) w.u32(first + i);
    return w.buf();
  }
  static publishBody(subId, acks) {
    const b = Buffer.alloc(4 + 8 * acks);
    b.writeInt32LE(acks, 0);
    for (let i = 0; i < acks; ++i) { b.writeUInt32LE(subId, 4 + 8 * i); b.writeUInt32LE(i + 1, 8 + 8 * i); }
    return b;
  }
}

module.exports = { RawClient, Writer, ID };
