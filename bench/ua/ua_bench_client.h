// A lean OPC UA client for the benchmarks, on uaclib's own codec (SecurityPolicy None,
// anonymous): one connection with its session, and the requests and answers of a
// subscription. Blocking where a benchmark sets up, non-blocking where it measures.
#ifndef BENCH_UA_UA_BENCH_CLIENT_H
#define BENCH_UA_UA_BENCH_CLIENT_H

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/uaclib/ua_test_client.h"
#include "uaclib/node_ids.h"

namespace uabench {

using uaclib::Decoder;
using uaclib::Encoder;
namespace enc = uaclib::enc;

// One client connection: requests go out whole (blocking send), answers are taken
// apart chunk by chunk from a non-blocking socket.
class TConn {
 public:
  bool Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
    return true;
  }
  ~TConn() {
    if (fd_ >= 0) close(fd_);
  }
  int Fd() const { return fd_; }
  uatest::Channel ch;

  bool Send(const uatest::Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t w = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
      if (w > 0) {
        done += size_t(w);
      } else if (w < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 1000);
      } else {
        return false;
      }
    }
    return true;
  }
  // Reads what the socket has; false when the peer closed.
  bool Receive() {
    uint8_t buf[65536];
    for (;;) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r > 0) {
        in_.insert(in_.end(), buf, buf + r);
        continue;
      }
      return !(r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK));
    }
  }
  // The next complete message, if one is there: its type ("MSG", "ACK", "OPN", "ERR")
  // and its body (for MSG and OPN the service response after the security headers).
  bool Next(std::string& type, uatest::Bytes& body) {
    for (;;) {
      if (in_.size() - pos_ < 8) return Compact(false);
      uint32_t size;
      std::memcpy(&size, in_.data() + pos_ + 4, 4);
      if (size < 8 || size > (64u << 20)) return Compact(false);
      if (in_.size() - pos_ < size) return Compact(false);
      const uint8_t* p = in_.data() + pos_;
      std::string t(reinterpret_cast<const char*>(p), 3);
      char chunk = char(p[3]);
      pos_ += size;
      size_t skip = 8;
      if (t == "MSG") skip = 24;
      if (t == "OPN") {
        Decoder d(p + 8, size - 8);
        d.U32();
        d.String();
        d.ByteString();
        d.ByteString();
        skip = 8 + size_t(d.Pos() - (p + 8)) + 8;
      }
      if (skip > size) skip = size;
      joined_.insert(joined_.end(), p + skip, p + size);
      if (t == "MSG" && chunk == 'C') continue;
      type = t;
      body.swap(joined_);
      joined_.clear();
      return Compact(true);
    }
  }
  // Blocking: waits (up to 30 s) for the next message.
  bool Wait(std::string& type, uatest::Bytes& body) {
    for (int i = 0; i < 30000; ++i) {
      if (Next(type, body)) return true;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 1);
      if (!Receive()) return false;
    }
    return false;
  }
  bool Call(uint32_t typeId, const Encoder& body, uatest::Response& r) {
    std::string t;
    uatest::Bytes b;
    if (!Send(uatest::Message(ch, typeId, body)) || !Wait(t, b) || t != "MSG") return false;
    uatest::ParseServiceResponse(b.data(), b.size(), r);
    return r.ok && r.serviceResult == 0;
  }
  bool Login() {
    std::string t;
    uatest::Bytes b;
    if (!Send(uatest::Hello(65535, 65535, 0, 0)) || !Wait(t, b) || t != "ACK") return false;
    if (!Send(uatest::Open(ch)) || !Wait(t, b) || t != "OPN") return false;
    uatest::Response r;
    uatest::ParseServiceResponse(b.data(), b.size(), r);
    Decoder d = r.Body();
    d.U32();
    ch.id = d.U32();
    ch.token = d.U32();
    if (!d.ok()) return false;
    if (!Call(enc::CreateSessionRequest, uatest::CreateSessionBody(600000), r)) return false;
    d = r.Body();
    d.NodeId();
    ch.authToken = uaclib::NodeId(d.NodeId());
    return d.ok() && Call(enc::ActivateSessionRequest, uatest::ActivateSessionBody(0), r);
  }

 private:
  bool Compact(bool result) {
    if (pos_ > 0 && pos_ * 2 >= in_.size()) {
      in_.erase(in_.begin(), in_.begin() + long(pos_));
      pos_ = 0;
    }
    return result;
  }
  int fd_ = -1;
  std::vector<uint8_t> in_, joined_;
  size_t pos_ = 0;
};

inline bool CreateSubscription(TConn& c, double intervalMs, uint32_t lifetimeCount, uint32_t keepAliveCount,
                               uint32_t& subId) {
  uatest::Response r;
  Encoder e;
  e.F64(intervalMs);
  e.U32(lifetimeCount);
  e.U32(keepAliveCount);
  e.U32(0);  // no cap on notifications per publish
  e.Bool(true);
  e.U8(0);
  if (!c.Call(enc::CreateSubscriptionRequest, e, r)) return false;
  subId = r.Body().U32();
  return true;
}

// Monitors the Value of every node, reporting, the node's index as its client handle; in
// calls of 1000 items, within every server's per-call limit.
inline bool MonitorItems(TConn& c, uint32_t subId, const std::vector<uaclib::NodeIdView>& nodes, double samplingMs,
                         uint32_t queueSize) {
  uatest::Response r;
  for (size_t first = 0; first < nodes.size(); first += 1000) {
    Encoder m;
    m.U32(subId);
    m.U32(2);  // timestamps: both
    const size_t n = std::min<size_t>(1000, nodes.size() - first);
    m.ArrayLength(n);
    for (size_t i = first; i < first + n; ++i) {
      m.NodeId(nodes[i]);
      m.U32(uaclib::attr::Value);
      m.NullString();
      m.QualifiedName(0, {});
      m.U32(2);  // reporting
      m.U32(uint32_t(i));
      m.F64(samplingMs);
      m.NullExtensionObject();
      m.U32(queueSize);
      m.Bool(true);  // discard the oldest
    }
    if (!c.Call(enc::CreateMonitoredItemsRequest, m, r)) return false;
    // Every item must exist: a bad result per item fails the whole call.
    Decoder d = r.Body();
    int32_t k = d.ArrayLength(4);
    for (int32_t i = 0; i < k && d.ok(); ++i) {
      if (d.U32() & 0x80000000u) return false;
      d.U32();
      d.F64();
      d.U32();
      d.ExtensionObject();
    }
    if (!d.ok() || k != int32_t(n)) return false;
  }
  return true;
}

// (subscription, sequence number) pairs to acknowledge with the next Publish.
using TAcks = std::vector<std::pair<uint32_t, uint32_t>>;

inline bool SendPublish(TConn& c, TAcks& acks) {
  Encoder p;
  p.ArrayLength(acks.size());
  for (auto [s, q] : acks) {
    p.U32(s);
    p.U32(q);
  }
  acks.clear();
  return c.Send(uatest::Message(c.ch, enc::PublishRequest, p));
}

// The data change notifications in a PublishResponse (-1 when the message is not one or
// is malformed), with its subscription and sequence number for the acknowledgement.
// `each`, when set, gets every item's client handle and value; without it the items are
// only counted.
inline int64_t ReadPublish(const uatest::Bytes& b, uint32_t& sub, uint32_t& seq,
                           const std::function<void(uint32_t, const uaclib::DataValueView&)>& each = {}) {
  uatest::Response r;
  uatest::ParseServiceResponse(b.data(), b.size(), r);
  if (!r.ok || r.typeId != enc::PublishResponse) return -1;
  Decoder d = r.Body();
  sub = d.U32();
  for (int32_t k = d.ArrayLength(4); k > 0; --k) d.U32();
  d.Bool();
  seq = d.U32();
  d.Time();
  int64_t count = 0;
  int32_t n = d.ArrayLength(3);
  for (int32_t i = 0; i < n && d.ok(); ++i) {
    uaclib::ExtensionObjectView x = d.ExtensionObject();
    if (!x.typeId.IsNs0(enc::DataChangeNotification)) continue;
    Decoder body(reinterpret_cast<const uint8_t*>(x.body.data()), x.body.size());
    // MonitoredItemNotification: client handle (UInt32), DataValue.
    int32_t items = body.ArrayLength(5);
    if (items > 0) count += items;
    if (!each) continue;
    for (int32_t k = 0; k < items && body.ok(); ++k) {
      uint32_t handle = body.U32();
      uaclib::DataValueView v = body.DataValue();
      if (body.ok()) each(handle, v);
    }
    if (!body.ok()) return -1;
  }
  return d.ok() ? count : -1;
}

}  // namespace uabench

#endif  // BENCH_UA_UA_BENCH_CLIENT_H
