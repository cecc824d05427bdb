// The parts of the transport that are the same on epoll and on WSAPoll: reading into and
// writing out of connections, back-pressure and the end of connections.
#include "uaclib/tcp_transport.h"

#include <algorithm>

namespace uaclib {

namespace {
// Bytes read from one connection per Poll, so one busy client cannot starve the others.
constexpr size_t kReadBudget = 4 * 1024 * 1024;
}  // namespace

bool TcpTransport::ReadSome(SocketId fd, Connection* c) {
  size_t budget = kReadBudget;
  while (budget > 0 && !c->Closing() && !c->Busy()) {
    long r = Recv(fd, readBuf_.data(), readBuf_.size());
    if (r > 0) {
      c->Feed(readBuf_.data(), size_t(r));
      budget -= std::min(budget, size_t(r));
      continue;
    }
    return r == kLater;
  }
  return true;
}

void TcpTransport::WriteSome(SocketId fd, Connection* c) {
  while (c->OutSize() > 0) {
    long w = Send(fd, c->OutData(), c->OutSize());
    if (w > 0) {
      c->Consume(size_t(w));
      continue;
    }
    if (w == kLater) break;
    c->Close();  // broken connection: the output can never be sent
    c->Consume(c->OutSize());
    break;
  }
}

void TcpTransport::Flush(TransportHost& host, int64_t nowMs) {
  std::vector<SocketId> done;
  for (auto& [fd, c] : sockets_) {
    if (c->OutSize() > 0) WriteSome(fd, c);
    bool pending = c->OutSize() > 0;
    // A client that stops reading while output piles up is cut off.
    if ((c->Closing() && !pending) || c->OutSize() > maxPending_ || c->Abandoned(nowMs)) {
      done.push_back(fd);
      continue;
    }
    // Back-pressure: while its answers pile up unread, a client's requests stay in the
    // socket (and in the client) instead of in our memory.
    // A closing connection reads nothing more: a peer's half-close, level-triggered,
    // would otherwise keep waking a caller that waits on the epoll descriptor.
    Watch(fd, pending, !c->OutputFull() && !c->Closing());
  }
  for (SocketId fd : done) Drop(fd, host);
}

void TcpTransport::CloseAll(TransportHost& host) {
  while (!sockets_.empty()) Drop(sockets_.begin()->first, host);
}

}  // namespace uaclib
