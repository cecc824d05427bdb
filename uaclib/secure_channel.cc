// OPC UA Connection Protocol and Secure Conversation (OPC UA Part 6).
//
// Every chunk starts with the message header:
//   MessageType[3] ("HEL" "ACK" "ERR" "OPN" "MSG" "CLO") | ChunkType[1] ('F' 'C' 'A')
//   | MessageSize UInt32 (whole chunk)
// HEL: ProtocolVersion | ReceiveBufferSize | SendBufferSize | MaxMessageSize
//      | MaxChunkCount | EndpointUrl String            (ACK: the same without the URL)
// ERR: Error UInt32 | Reason String
// OPN: SecureChannelId | SecurityPolicyUri String | SenderCertificate ByteString
//      | ReceiverCertificateThumbprint ByteString | SequenceNumber | RequestId | body
// MSG, CLO: SecureChannelId | TokenId | SequenceNumber | RequestId | body
#include "uaclib/secure_channel.h"

#include <algorithm>
#include <cstring>

#include "uaclib/log.h"
#include "uaclib/node_ids.h"

namespace uaclib {

namespace {
constexpr size_t kHeaderSize = 8;
constexpr size_t kSymHeaderSize = kHeaderSize + 8;  // + channel id + token id
constexpr size_t kSeqHeaderSize = 8;
constexpr uint32_t kMinBuffer = 8192;  // OPC UA Part 6: buffers hold at least 8192 bytes
constexpr size_t kMaxUrlLength = 4096;  // OPC UA Part 6
// OPC UA Part 6: sequence numbers wrap to below 1024 after 4294966271.
constexpr uint32_t kSeqWrapLimit = 4294966271u;
// Buffers larger than this are given back once empty, so an idle connection does not
// keep the memory of its largest message.
constexpr size_t kKeepCapacity = 1024 * 1024;

void ReleaseIfLarge(std::vector<uint8_t>& v) {
  if (v.empty() && v.capacity() > kKeepCapacity) std::vector<uint8_t>().swap(v);
}
}  // namespace

void DecodeRequestHeader(Decoder& d, RequestHeader& h) {
  h.authToken = d.NodeId();
  h.timestamp = d.Time();
  h.requestHandle = d.U32();
  h.returnDiagnostics = d.U32();
  d.String();  // audit entry id
  h.timeoutHint = d.U32();
  d.ExtensionObject();  // additional header
}

void EncodeResponseHeader(Encoder& e, DateTime now, uint32_t requestHandle, StatusCode result) {
  e.Time(now);
  e.U32(requestHandle);
  e.U32(result);
  e.EmptyDiagnosticInfo();
  e.EmptyArray();  // string table
  e.NullExtensionObject();
}

Connection::Connection(uint64_t id, ChannelHost& host) : id_(id), host_(host) {
  createdMs_ = host.NowMs();
  lastReceiveMs_ = createdMs_;
  lastSendMs_ = createdMs_;
  recvChunk_ = host.GetLimits().receiveBufferSize;
}

Connection::~Connection() { host_.ReleaseAssembly(msgBytes_); }

void Connection::Consume(size_t n) {
  if (n > 0) lastSendMs_ = host_.NowMs();
  outPos_ += std::min(n, OutSize());
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
    ReleaseIfLarge(out_);
  }
}

bool Connection::OutputFull() const { return OutSize() > host_.GetLimits().readPauseOutput; }

void Connection::Feed(const uint8_t* data, size_t n) {
  if (closing_ || n == 0) return;
  lastReceiveMs_ = host_.NowMs();
  in_.insert(in_.end(), data, data + n);
  HandleInput();
}

void Connection::HandleInput() {
  size_t pos = 0;
  // Busy: answers pile up unread, or the step's time is spent; the rest of the input
  // waits, and so does the socket.
  while (!closing_ && !Busy() && in_.size() - pos >= kHeaderSize) {
    uint8_t* chunk = in_.data() + pos;
    uint32_t size;
    std::memcpy(&size, chunk + 4, 4);
    if (size < kHeaderSize || size > recvChunk_) {
      Fail(status::BadTcpMessageTooLarge, "chunk size outside the negotiated limit");
      break;
    }
    if (in_.size() - pos < size) break;
    HandleChunk(chunk, size);
    pos += size;
  }
  if (closing_) {
    in_.clear();
    DropAssembly();
  } else if (pos > 0) {
    in_.erase(in_.begin(), in_.begin() + long(pos));
  }
  ReleaseIfLarge(in_);
}

void Connection::DropAssembly() {
  host_.ReleaseAssembly(msgBytes_);
  msgParts_.clear();
  msgBytes_ = 0;
  msgChunks_ = 0;
  msg_.clear();
  ReleaseIfLarge(msg_);
}

void Connection::HandleChunk(uint8_t* chunk, size_t size) {
  std::string_view type(reinterpret_cast<const char*>(chunk), 3);
  char chunkType = char(chunk[3]);
  if (chunkType != 'F' && chunkType != 'C' && chunkType != 'A') {
    Fail(status::BadTcpMessageTypeInvalid, "unknown chunk type");
    return;
  }
  if (!helloDone_) {
    if (type != "HEL" || chunkType != 'F') {
      Fail(status::BadTcpMessageTypeInvalid, "the first message must be Hello");
      return;
    }
    HandleHello(chunk, size);
    return;
  }
  if (type == "OPN") {
    if (chunkType != 'F') {
      Fail(status::BadTcpMessageTypeInvalid, "OpenSecureChannel must be one chunk");
      return;
    }
    HandleOpen(chunk, size);
  } else if (type == "MSG" || type == "CLO") {
    HandleSymmetric(chunk, size);
  } else {
    Fail(status::BadTcpMessageTypeInvalid, "unexpected message type");
  }
}

void Connection::HandleHello(const uint8_t* chunk, size_t size) {
  Decoder d(chunk + kHeaderSize, size - kHeaderSize);
  uint32_t version = d.U32();
  uint32_t clientRecv = d.U32();
  uint32_t clientSend = d.U32();
  uint32_t maxMessage = d.U32();
  uint32_t maxChunks = d.U32();
  std::string_view url = d.String();
  (void)version;  // we speak version 0 and answer with it; the client decides
  if (!d.ok()) {
    Fail(status::BadDecodingError, "malformed Hello");
    return;
  }
  if (url.size() > kMaxUrlLength) {
    Fail(status::BadTcpEndpointUrlInvalid, "endpoint URL too long");
    return;
  }
  if (clientRecv < kMinBuffer || clientSend < kMinBuffer) {
    Fail(status::BadTcpNotEnoughResources, "buffer sizes below 8192");
    return;
  }
  const Limits& lim = host_.GetLimits();
  recvChunk_ = std::min(lim.receiveBufferSize, clientSend);
  sendChunk_ = std::min(lim.sendBufferSize, clientRecv);
  clientMaxMessage_ = maxMessage;
  clientMaxChunks_ = maxChunks;
  endpointUrl_ = url;
  helloDone_ = true;

  Encoder e;
  e.Bytes("ACKF", 4);
  e.U32(28);
  e.U32(0);  // protocol version
  e.U32(recvChunk_);
  e.U32(sendChunk_);
  e.U32(lim.maxMessageSize);
  e.U32(lim.maxChunkCount);
  out_.insert(out_.end(), e.Data(), e.Data() + e.Size());
  Log(kLogNetwork, 1, "connection %llu: hello, chunks %u/%u", (unsigned long long)id_,
      recvChunk_, sendChunk_);
}

bool Connection::CheckSequence(uint32_t seq) {
  if (!seqStarted_) {
    seqStarted_ = true;
    lastSeq_ = seq;
    return true;
  }
  bool next = seq == lastSeq_ + 1 || (lastSeq_ > kSeqWrapLimit && seq < 1024);
  lastSeq_ = seq;
  if (!next) Fail(status::BadSequenceNumberInvalid, "sequence number out of order");
  return next;
}

void Connection::HandleOpen(uint8_t* chunk, size_t size) {
  uint32_t headerChannel;
  if (size < kHeaderSize + 4) {
    Fail(status::BadDecodingError, "short OpenSecureChannel");
    return;
  }
  std::memcpy(&headerChannel, chunk + kHeaderSize, 4);
  Decoder d(chunk + kHeaderSize + 4, size - kHeaderSize - 4);
  std::string_view policyUri = d.String();
  std::string_view senderCert = d.ByteString();
  std::string_view thumbprint = d.ByteString();
  if (!d.ok()) {
    Fail(status::BadDecodingError, "malformed asymmetric security header");
    return;
  }
  if (!channelOpen_) {
    policy_ = MakeSecurityPolicy(policyUri, host_.Identity());
    if (!policy_) {
      Fail(status::BadSecurityPolicyRejected, "security policy not offered");
      return;
    }
  } else if (policyUri != policy_->Uri()) {
    Fail(status::BadSecurityPolicyRejected, "security policy changed on renew");
    return;
  }
  StatusCode sc = policy_->SetRemote(senderCert, thumbprint);
  if (IsBad(sc)) {
    Fail(sc, "client certificate or thumbprint refused");
    return;
  }
  size_t bodyStart = size_t(d.Pos() - chunk);
  size_t bodyEnd = 0;
  sc = policy_->OpenAsymmetric(chunk, size, bodyStart, bodyEnd);
  if (IsBad(sc)) {
    Fail(sc, "OpenSecureChannel security check failed");
    return;
  }
  // Trust is asked only of a client that proved it holds the certificate's key.
  if (!channelOpen_ && !policy_->RemoteCertificate().empty()) {
    sc = host_.VerifyCertificate(policy_->RemoteCertificate());
    if (IsBad(sc)) {
      Fail(sc, "client certificate refused");
      return;
    }
  }
  Decoder seq(chunk + bodyStart, bodyEnd - bodyStart);
  uint32_t seqNo = seq.U32();
  uint32_t requestId = seq.U32();
  if (!seq.ok()) {
    Fail(status::BadDecodingError, "short sequence header");
    return;
  }
  if (!CheckSequence(seqNo)) return;
  OpenChannel(requestId, seq.Pos(), seq.Remaining(), headerChannel);
}

void Connection::OpenChannel(uint32_t requestId, const uint8_t* body, size_t size,
                             uint32_t headerChannel) {
  Decoder d(body, size);
  NodeIdView type = d.NodeId();
  RequestHeader rh;
  DecodeRequestHeader(d, rh);
  d.U32();  // client protocol version
  uint32_t requestType = d.U32();
  uint32_t mode = d.U32();
  std::string_view clientNonce = d.ByteString();
  uint32_t lifetime = d.U32();
  if (!d.ok() || !type.IsNs0(enc::OpenSecureChannelRequest)) {
    Fail(status::BadDecodingError, "malformed OpenSecureChannel request");
    return;
  }
  if (!channelOpen_) {
    if (!policy_->SetMode(SecurityMode(mode)) || !host_.Offers(policy_->Uri(), SecurityMode(mode))) {
      Fail(status::BadSecurityModeRejected, "security mode not offered");
      return;
    }
  } else if (mode != uint32_t(policy_->Mode())) {
    Fail(status::BadSecurityModeRejected, "security mode changed on renew");
    return;
  }
  size_t nonceLength = policy_->NonceLength();
  if (nonceLength && clientNonce.size() != nonceLength) {
    Fail(status::BadNonceInvalid, "client nonce of the wrong length");
    return;
  }
  const Limits& lim = host_.GetLimits();
  int64_t now = host_.NowMs();
  if (requestType == 0) {  // issue
    if (channelOpen_) {
      Fail(status::BadRequestTypeInvalid, "channel already open");
      return;
    }
    channelId_ = host_.NextChannelId();
    tokenId_ = 1;
    sendTokenId_ = 1;
    channelOpen_ = true;
  } else if (requestType == 1) {  // renew
    if (!channelOpen_ || headerChannel != channelId_) {
      Fail(status::BadTcpSecureChannelUnknown, "renew of an unknown channel");
      return;
    }
    prevTokenId_ = tokenId_;
    prevTokenExpiryMs_ = tokenExpiryMs_;
    ++tokenId_;
    // The policy keeps the keys of one token before the newest: answers that waited
    // for the client to use a new token move to the one before it.
    if (sendTokenId_ != tokenId_) sendTokenId_ = prevTokenId_;
  } else {
    Fail(status::BadRequestTypeInvalid, "unknown request type");
    return;
  }
  std::string serverNonce = host_.ChannelNonce(nonceLength);
  StatusCode sc = policy_->NewToken(clientNonce, serverNonce);
  if (IsBad(sc)) {
    Fail(sc, "client nonce refused");
    return;
  }
  if (lifetime == 0) lifetime = 600000;
  lifetime = std::clamp(lifetime, lim.minChannelLifetimeMs, lim.maxChannelLifetimeMs);
  // OPC UA Part 4: the token stays usable for 25 % beyond its lifetime.
  tokenExpiryMs_ = now + int64_t(lifetime) * 5 / 4;
  DateTime created = host_.UtcNow();

  size_t sizeAt;
  size_t start = out_.size();
  BeginChunk("OPN", 'F', sizeAt);
  Encoder e;
  e.U32(channelId_);
  e.String(policy_->Uri());
  std::string_view cert = policy_->LocalCertificate();
  std::string thumbprint = policy_->RemoteThumbprint();
  if (cert.empty())
    e.NullString();
  else
    e.ByteString(cert);
  if (thumbprint.empty())
    e.NullString();
  else
    e.ByteString(thumbprint);
  size_t bodyStart = out_.size() + e.Size();
  e.U32(++sendSeq_);
  e.U32(requestId);
  e.NumericNodeId(enc::OpenSecureChannelResponse);
  EncodeResponseHeader(e, created, rh.requestHandle, status::Good);
  e.U32(0);  // server protocol version
  e.U32(channelId_);
  e.U32(tokenId_);
  e.Time(created);
  e.U32(lifetime);
  if (serverNonce.empty())
    e.NullString();
  else
    e.ByteString(serverNonce);
  out_.insert(out_.end(), e.Data(), e.Data() + e.Size());
  if (!policy_->SealAsymmetric(out_, start, bodyStart)) {
    out_.resize(start);
    Fail(status::BadSecurityChecksFailed, "OpenSecureChannel response cannot be secured");
    return;
  }
  Log(kLogChannel, 1, "channel %u: %s token %u, %.*s mode %u, lifetime %u ms", channelId_,
      requestType == 0 ? "opened" : "renewed", tokenId_, int(policy_->Uri().size()),
      policy_->Uri().data(), mode, lifetime);
}

void Connection::HandleSymmetric(uint8_t* chunk, size_t size) {
  if (!channelOpen_) {
    Fail(status::BadTcpSecureChannelUnknown, "no secure channel open");
    return;
  }
  if (size < kSymHeaderSize + kSeqHeaderSize) {
    Fail(status::BadDecodingError, "short chunk");
    return;
  }
  uint32_t channel, token;
  std::memcpy(&channel, chunk + kHeaderSize, 4);
  std::memcpy(&token, chunk + kHeaderSize + 4, 4);
  if (channel != channelId_) {
    Fail(status::BadTcpSecureChannelUnknown, "chunk for another channel");
    return;
  }
  int64_t now = host_.NowMs();
  bool previous = token != tokenId_;
  if (previous && !(prevTokenId_ != 0 && token == prevTokenId_ && now <= prevTokenExpiryMs_)) {
    Fail(status::BadSecureChannelTokenUnknown, "unknown security token");
    return;
  }
  size_t bodyEnd = 0;
  StatusCode sc = policy_->OpenSymmetric(chunk, size, kSymHeaderSize, bodyEnd, previous);
  if (IsBad(sc)) {
    Fail(sc, "chunk security check failed");
    return;
  }
  if (bodyEnd < kSymHeaderSize + kSeqHeaderSize) {
    Fail(status::BadDecodingError, "short chunk");
    return;
  }
  // OPC UA Part 6: answers keep the old token until the client uses the new one.
  if (!previous) {
    prevTokenId_ = 0;
    sendTokenId_ = tokenId_;
  }
  uint32_t seqNo, requestId;
  std::memcpy(&seqNo, chunk + kSymHeaderSize, 4);
  std::memcpy(&requestId, chunk + kSymHeaderSize + 4, 4);
  if (!CheckSequence(seqNo)) return;
  const uint8_t* body = chunk + kSymHeaderSize + kSeqHeaderSize;
  size_t bodySize = bodyEnd - kSymHeaderSize - kSeqHeaderSize;
  bool close = chunk[0] == 'C';  // "CLO"
  char chunkType = char(chunk[3]);

  if (chunkType == 'A') {  // the client abandons the message
    DropAssembly();
    return;
  }
  if (msgChunks_ > 0 && requestId != msgRequestId_) {
    Fail(status::BadTcpMessageTypeInvalid, "chunks of two messages interleaved");
    return;
  }
  const Limits& lim = host_.GetLimits();
  if (chunkType == 'C' || msgChunks_ > 0) {
    // Until a session is activated a connection needs only small messages.
    size_t cap = activated_ ? lim.maxMessageSize : std::min<size_t>(lim.maxMessageSize, lim.maxUnactivatedMessageSize);
    if (msgBytes_ + bodySize > cap || msgChunks_ + 1 > lim.maxChunkCount) {
      Fail(status::BadTcpMessageTooLarge, "message exceeds the size limits");
      return;
    }
    if (!host_.ReserveAssembly(bodySize)) {
      Fail(status::BadTcpNotEnoughResources, "unfinished messages of all clients exceed their budget");
      return;
    }
    // Parts stay apart until the message is complete: an unfinished message costs no
    // copies of itself as it grows.
    msgParts_.emplace_back(body, body + bodySize);
    msgBytes_ += bodySize;
    ++msgChunks_;
    msgRequestId_ = requestId;
    if (chunkType == 'C') return;
    msg_.reserve(msgBytes_);
    for (const auto& part : msgParts_) msg_.insert(msg_.end(), part.begin(), part.end());
    msgParts_.clear();
    body = msg_.data();
    bodySize = msg_.size();
  }
  if (close) {
    Log(kLogChannel, 1, "channel %u: closed by the client", channelId_);
    Close();
  } else {
    host_.OnRequest(*this, requestId, body, bodySize);
  }
  DropAssembly();
}

void Connection::BeginChunk(const char type[3], char chunkType, size_t& sizeAt) {
  out_.insert(out_.end(), type, type + 3);
  out_.push_back(uint8_t(chunkType));
  sizeAt = out_.size();
  out_.insert(out_.end(), 4, 0);
}

size_t Connection::MaxResponseBody() const {
  size_t limit = SIZE_MAX;
  if (clientMaxMessage_) limit = clientMaxMessage_;
  if (clientMaxChunks_ && policy_) {
    size_t room = policy_->PlainRoom(sendChunk_, kSymHeaderSize) - kSeqHeaderSize;
    limit = std::min(limit, room * clientMaxChunks_);
  }
  return limit;
}

void Connection::SendMessage(uint32_t requestId, const uint8_t* body, size_t size) {
  if (closing_ || !channelOpen_) return;
  size_t room = policy_->PlainRoom(sendChunk_, kSymHeaderSize) - kSeqHeaderSize;
  size_t done = 0;
  do {
    size_t part = std::min(room, size - done);
    bool last = done + part == size;
    size_t start = out_.size();
    size_t sizeAt;  // written by the policy, which signs the size
    BeginChunk("MSG", last ? 'F' : 'C', sizeAt);
    uint32_t fields[4] = {channelId_, sendTokenId_, ++sendSeq_, requestId};
    const uint8_t* f = reinterpret_cast<const uint8_t*>(fields);
    out_.insert(out_.end(), f, f + sizeof fields);
    out_.insert(out_.end(), body + done, body + done + part);
    policy_->SealSymmetric(out_, start, start + kSymHeaderSize, sendTokenId_ != tokenId_);
    done += part;
  } while (done < size);
}

void Connection::Fail(StatusCode code, std::string_view reason) {
  if (closing_) return;
  Log(kLogNetwork, 3, "connection %llu: error 0x%08X, %.*s", (unsigned long long)id_, code,
      int(reason.size()), reason.data());
  Encoder e;
  e.Bytes("ERRF", 4);
  e.U32(uint32_t(16 + reason.size()));
  e.U32(code);
  e.String(reason);
  out_.insert(out_.end(), e.Data(), e.Data() + e.Size());
  closeReason_ = code;
  Close();
}

void Connection::Close() {
  if (closing_) return;
  closing_ = true;
  closingSinceMs_ = host_.NowMs();
}

bool Connection::Abandoned(int64_t nowMs) const {
  return closing_ && nowMs - closingSinceMs_ > host_.GetLimits().closeGraceMs;
}

void Connection::CheckTimers(int64_t nowMs, bool inputRead) {
  if (closing_) return;
  const Limits& lim = host_.GetLimits();
  if (!channelOpen_ && nowMs - createdMs_ > lim.helloTimeoutMs) {
    Fail(status::BadTimeout, "no secure channel opened in time");
  } else if (!activated_ && nowMs - createdMs_ > lim.activateTimeoutMs) {
    // A connection that holds a slot without becoming a client makes room.
    Fail(status::BadTimeout, "no session activated in time");
  } else if (inputRead && msgChunks_ > 0 && nowMs - lastReceiveMs_ > lim.idleConnectionMs) {
    // A started message holds its share of the assembly budget: it must go on.
    Fail(status::BadTimeout, "message not finished in time");
  } else if (channelOpen_ && nowMs > tokenExpiryMs_) {
    Fail(status::BadSecureChannelClosed, "security token expired");
  }
}

}  // namespace uaclib
