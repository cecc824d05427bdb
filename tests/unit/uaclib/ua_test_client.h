// A small OPC UA client for the uaclib tests and the fuzz corpus: it builds request
// chunks (Hello, OpenSecureChannel, service requests with SecurityPolicy None), parses
// answers, and talks to a server through a real 127.0.0.1 socket while it drives the
// server's run step on the same thread.
#ifndef TESTS_UNIT_UACLIB_UA_TEST_CLIENT_H
#define TESTS_UNIT_UACLIB_UA_TEST_CLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "uaclib/clock.h"
#include "uaclib/encoding.h"
#include "uaclib/node_ids.h"
#include "uaclib/uaclib.h"

namespace uatest {

// The server's clock, moved by hand: time-outs and publishing intervals without waiting.
class TestClock final : public uaclib::Clock {
 public:
  int64_t ms = 1000000;
  int64_t NowMs() override { return ms; }
  uaclib::DateTime UtcNow() override { return uaclib::UnixMsToDateTime(1700000000000LL + ms); }
};

// The write callback of servers whose tests write nothing through it.
inline void NoWrite(void*, void*, double*) {}

using Bytes = std::vector<uint8_t>;
inline constexpr std::string_view kNone = "http://opcfoundation.org/UA/SecurityPolicy#None";

inline void Append(Bytes& out, const uaclib::Encoder& e) {
  out.insert(out.end(), e.Data(), e.Data() + e.Size());
}

// Message header with the size filled in.
inline Bytes Chunk(std::string_view type, char chunkType, const uaclib::Encoder& payload) {
  uaclib::Encoder e;
  e.Bytes(type.data(), 3);
  e.U8(uint8_t(chunkType));
  e.U32(uint32_t(8 + payload.Size()));
  e.Bytes(payload.Data(), payload.Size());
  return Bytes(e.Data(), e.Data() + e.Size());
}

inline Bytes Hello(uint32_t recvBuf = 65535, uint32_t sendBuf = 65535, uint32_t maxMessage = 0,
                   uint32_t maxChunks = 0, std::string_view url = "opc.tcp://127.0.0.1:4840") {
  uaclib::Encoder e;
  e.U32(0);
  e.U32(recvBuf);
  e.U32(sendBuf);
  e.U32(maxMessage);
  e.U32(maxChunks);
  e.String(url);
  return Chunk("HEL", 'F', e);
}

// Client side state of one secure channel.
struct Channel {
  uint32_t id = 0;
  uint32_t token = 0;
  uint32_t seq = 1;
  uint32_t requestId = 1;
  uaclib::NodeId authToken;  // from CreateSession
};

inline void RequestHeader(uaclib::Encoder& e, const uaclib::NodeId& token, uint32_t handle,
                          uint32_t timeoutHint = 0) {
  e.NodeId(token);
  e.Time(0);
  e.U32(handle);
  e.U32(0);
  e.NullString();
  e.U32(timeoutHint);
  e.NullExtensionObject();
}

inline Bytes Open(Channel& ch, uint32_t requestType = 0, uint32_t lifetime = 600000,
                  uint32_t mode = 1, std::string_view policy = kNone) {
  uaclib::Encoder e;
  e.U32(ch.id);
  e.String(policy);
  e.NullString();
  e.NullString();
  e.U32(ch.seq++);
  e.U32(ch.requestId++);
  e.NumericNodeId(uaclib::enc::OpenSecureChannelRequest);
  RequestHeader(e, uaclib::NodeId(), 1);
  e.U32(0);
  e.U32(requestType);
  e.U32(mode);
  e.NullString();
  e.U32(lifetime);
  return Chunk("OPN", 'F', e);
}

// A service request in one MSG chunk; `body` follows the request header.
inline Bytes Message(Channel& ch, uint32_t typeId, const uaclib::Encoder& body,
                     uint32_t timeoutHint = 0, std::string_view type = "MSG") {
  uaclib::Encoder e;
  e.U32(ch.id);
  e.U32(ch.token);
  e.U32(ch.seq++);
  uint32_t rid = ch.requestId++;
  e.U32(rid);
  e.NumericNodeId(typeId);
  RequestHeader(e, ch.authToken, rid, timeoutHint);
  e.Bytes(body.Data(), body.Size());
  return Chunk(type, 'F', e);
}

// A service request in as many MSG chunks of 64 KiB as it needs; the last `cut` bytes
// are left out (a request cut short).
inline Bytes ChunkedMessage(Channel& ch, uint32_t typeId, const uaclib::Encoder& body,
                            size_t cut = 0) {
  uaclib::Encoder whole;
  whole.NumericNodeId(typeId);
  uint32_t rid = ch.requestId++;
  RequestHeader(whole, ch.authToken, rid);
  whole.Bytes(body.Data(), body.Size());
  whole.Truncate(whole.Size() - std::min(cut, whole.Size()));
  constexpr size_t kPiece = 65535 - 24;  // chunk less its headers
  Bytes out;
  for (size_t at = 0; at < whole.Size(); at += kPiece) {
    size_t n = std::min(kPiece, whole.Size() - at);
    uaclib::Encoder chunk;
    chunk.U32(ch.id);
    chunk.U32(ch.token);
    chunk.U32(ch.seq++);
    chunk.U32(rid);
    chunk.Bytes(whole.Data() + at, n);
    Bytes b = Chunk("MSG", at + n == whole.Size() ? 'F' : 'C', chunk);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

// Request bodies.
inline uaclib::Encoder CreateSessionBody(double timeoutMs = 60000) {
  uaclib::Encoder e;
  e.String("urn:test:client");  // application description
  e.String("urn:test");
  e.LocalizedText("", "test client");
  e.U32(1);
  e.NullString();
  e.NullString();
  e.EmptyArray();
  e.NullString();  // server URI
  e.String("opc.tcp://127.0.0.1:4840");
  e.String("test session");
  e.ByteString(std::string(32, 'n'));
  e.NullString();  // client certificate
  e.F64(timeoutMs);
  e.U32(0);
  return e;
}

// identity: 0 anonymous token, 1 user name, -1 no token at all.
inline uaclib::Encoder ActivateSessionBody(int identity, std::string_view user = {},
                                           std::string_view secret = {},
                                           std::string_view algorithm = {}) {
  uaclib::Encoder e;
  e.NullString();
  e.NullString();
  e.EmptyArray();
  e.EmptyArray();
  if (identity < 0) {
    e.NullExtensionObject();
  } else if (identity == 0) {
    size_t at = e.BeginExtensionObject(uaclib::enc::AnonymousIdentityToken);
    e.String("anonymous");
    e.EndExtensionObject(at);
  } else {
    size_t at = e.BeginExtensionObject(uaclib::enc::UserNameIdentityToken);
    e.String("username");
    e.String(user);
    e.ByteString(secret);
    if (algorithm.empty())
      e.NullString();
    else
      e.String(algorithm);
    e.EndExtensionObject(at);
  }
  e.NullString();
  e.NullString();
  return e;
}

struct ReadItem {
  uaclib::NodeId node;
  uint32_t attribute = uaclib::attr::Value;
};

inline uaclib::Encoder ReadBody(const std::vector<ReadItem>& items, uint32_t timestamps = 2) {
  uaclib::Encoder e;
  e.F64(0);
  e.U32(timestamps);
  e.ArrayLength(items.size());
  for (const auto& it : items) {
    e.NodeId(it.node);
    e.U32(it.attribute);
    e.NullString();
    e.QualifiedName(0, {});
  }
  return e;
}

inline uaclib::Encoder BrowseBody(const uaclib::NodeId& node, uint32_t maxRefs = 0,
                                  uint32_t refType = uaclib::ns0::HierarchicalReferences) {
  uaclib::Encoder e;
  e.NumericNodeId(0);
  e.Time(0);
  e.U32(0);
  e.U32(maxRefs);
  e.ArrayLength(1);
  e.NodeId(node);
  e.U32(0);  // forward
  e.NumericNodeId(refType);
  e.Bool(true);
  e.U32(0);
  e.U32(63);
  return e;
}

// A response: its type, header fields and the bytes after the response header.
struct Response {
  bool ok = false;
  std::string messageType;  // "MSG", "ERR", "ACK", "OPN"
  uint32_t typeId = 0;
  uint32_t requestHandle = 0;
  uint32_t serviceResult = 0;
  uint32_t errorCode = 0;  // ERR
  Bytes body;

  uaclib::Decoder Body() const { return uaclib::Decoder(body.data(), body.size()); }
};

// Skips the response header (OPC UA Part 4) of a service response.
inline void ParseServiceResponse(const uint8_t* p, size_t n, Response& r) {
  uaclib::Decoder d(p, n);
  uaclib::NodeIdView type = d.NodeId();
  r.typeId = type.num;
  d.Time();
  r.requestHandle = d.U32();
  r.serviceResult = d.U32();
  d.SkipDiagnosticInfo();
  int32_t k = d.ArrayLength(4);
  for (int32_t i = 0; i < k; ++i) d.String();
  d.ExtensionObject();
  r.ok = d.ok();
  r.body.assign(d.Pos(), d.Pos() + d.Remaining());
}

// Talks to a server over a socket; while it waits it runs the server's step.
class SocketClient {
 public:
  SocketClient(uasHandle server, int port) : server_(server) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~SocketClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  bool Connected() const { return connected_; }
  void Disconnect() {
    ::close(fd_);
    fd_ = -1;
  }
  void Send(const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      Pump();
      ssize_t w = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
      if (w > 0) done += size_t(w);
      else if (w < 0 && errno != EAGAIN) return;
    }
  }
  void Pump() {
    if (step) return step();
    TuasRunStats stats;
    uasRunIntv(server_, &stats, int(sizeof stats));
  }
  // Replaces Pump's bare run step, e.g. with a wait for the server's events before it.
  std::function<void()> step;
  // Runs the server until `done` is true; a guard of 10 s keeps a broken case from
  // hanging the suite (it fails the test, it measures nothing).
  template <class F>
  bool PumpUntil(F done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Pump();
      Receive();
      if (!done()) ::usleep(200);
    }
    return true;
  }
  // The next chunk; an empty type when the peer closed or nothing came.
  std::string NextChunk(Bytes& payload, char& chunkType) {
    bool have = PumpUntil([&] { return eof_ || HaveChunk(); });
    if (!have || !HaveChunk()) return {};
    uint32_t size;
    std::memcpy(&size, in_.data() + 4, 4);
    std::string type(reinterpret_cast<const char*>(in_.data()), 3);
    chunkType = char(in_[3]);
    payload.assign(in_.begin() + 8, in_.begin() + size);
    in_.erase(in_.begin(), in_.begin() + size);
    return type;
  }
  // The next complete message: chunks of MSG are joined; sequence headers removed.
  Response NextMessage() {
    Response r;
    Bytes payload, joined;
    char ct = 0;
    for (;;) {
      std::string type = NextChunk(payload, ct);
      r.messageType = type;
      if (type.empty()) return r;
      if (type == "ACK") {
        r.ok = true;
        r.body = payload;
        return r;
      }
      if (type == "ERR") {
        uaclib::Decoder d(payload.data(), payload.size());
        r.errorCode = d.U32();
        r.ok = d.ok();
        return r;
      }
      size_t skip = 0;
      if (type == "OPN") {
        uaclib::Decoder d(payload.data(), payload.size());
        d.U32();
        d.String();
        d.ByteString();
        d.ByteString();
        skip = size_t(d.Pos() - payload.data()) + 8;
      } else {
        skip = 16;  // channel id, token id, sequence header
      }
      if (payload.size() < skip) return r;
      joined.insert(joined.end(), payload.begin() + long(skip), payload.end());
      if (ct == 'F') break;
    }
    ParseServiceResponse(joined.data(), joined.size(), r);
    return r;
  }
  bool PeerClosed() {
    PumpUntil([&] { return eof_; });
    return eof_;
  }

  // Hello + OpenSecureChannel; true when both were answered.
  bool Handshake(Channel& ch, uint32_t recvBuf = 65535) {
    Send(Hello(recvBuf));
    if (NextMessage().messageType != "ACK") return false;
    Send(Open(ch));
    Response r = NextMessage();
    if (r.messageType != "OPN" || r.typeId != uaclib::enc::OpenSecureChannelResponse) return false;
    uaclib::Decoder d = r.Body();
    d.U32();
    ch.id = d.U32();
    ch.token = d.U32();
    return d.ok();
  }
  Response Call(Channel& ch, uint32_t typeId, const uaclib::Encoder& body) {
    Send(Message(ch, typeId, body));
    return NextMessage();
  }
  // CreateSession; fills the channel's authentication token and returns the nonce.
  bool CreateSession(Channel& ch, std::string* serverNonce = nullptr) {
    Response r = Call(ch, uaclib::enc::CreateSessionRequest, CreateSessionBody());
    if (r.typeId != uaclib::enc::CreateSessionResponse) return false;
    uaclib::Decoder d = r.Body();
    d.NodeId();
    ch.authToken = uaclib::NodeId(d.NodeId());
    d.F64();
    std::string_view nonce = d.ByteString();
    if (serverNonce) *serverNonce = std::string(nonce);
    return d.ok();
  }
  // ActivateSession; returns its service result.
  uint32_t Activate(Channel& ch, int identity, std::string_view user = {},
                    std::string_view secret = {}, std::string_view algorithm = {}) {
    return Call(ch, uaclib::enc::ActivateSessionRequest,
                ActivateSessionBody(identity, user, secret, algorithm))
        .serviceResult;
  }
  // CreateSession + anonymous ActivateSession.
  bool Login(Channel& ch) { return CreateSession(ch) && Activate(ch, 0) == 0; }

 private:
  bool HaveChunk() const {
    if (in_.size() < 8) return false;
    uint32_t size;
    std::memcpy(&size, in_.data() + 4, 4);
    return in_.size() >= size;
  }
  void Receive() {
    uint8_t buf[65536];
    for (;;) {
      if (fd_ < 0) return;
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r > 0) {
        in_.insert(in_.end(), buf, buf + r);
        continue;
      }
      if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) eof_ = true;
      return;
    }
  }

  uasHandle server_;
  int fd_ = -1;
  bool connected_ = false;
  bool eof_ = false;
  Bytes in_;
};

}  // namespace uatest
#endif
