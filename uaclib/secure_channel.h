// One client connection: the OPC UA TCP handshake (Hello/Acknowledge/Error), the secure
// channel on top of it (OpenSecureChannel issue/renew, CloseSecureChannel), chunk
// assembly with limits and the chunking of responses. A Connection never touches a
// socket: bytes come in through Feed() and go out through the output buffer, so tests
// and the fuzz target drive it without a network.
#ifndef UACLIB_SECURE_CHANNEL_H
#define UACLIB_SECURE_CHANNEL_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "uaclib/address_space.h"
#include "uaclib/encoding.h"
#include "uaclib/security_policy.h"
#include "uaclib/status_codes.h"

namespace uaclib {

struct RequestHeader {
  NodeIdView authToken;
  DateTime timestamp = 0;
  uint32_t requestHandle = 0;
  uint32_t returnDiagnostics = 0;
  uint32_t timeoutHint = 0;
};
// OPC UA Part 4 RequestHeader.
void DecodeRequestHeader(Decoder& d, RequestHeader& h);
// OPC UA Part 4 ResponseHeader without diagnostics.
void EncodeResponseHeader(Encoder& e, DateTime now, uint32_t requestHandle, StatusCode result);

class Connection;

// What a connection needs from the server around it.
class ChannelHost {
 public:
  virtual ~ChannelHost() = default;
  // A complete service request (MSG) arrived: `body` starts at the type id.
  virtual void OnRequest(Connection& c, uint32_t requestId, const uint8_t* body, size_t size) = 0;
  virtual uint32_t NextChannelId() = 0;
  virtual int64_t NowMs() = 0;
  virtual DateTime UtcNow() = 0;
  virtual const Limits& GetLimits() const = 0;
  // The run step's time for requests is spent: further input waits for the next step.
  virtual bool OutOfTime() = 0;
  // Bytes of unfinished multi-chunk messages, counted across all connections; false
  // when the budget has no room for `bytes` more.
  virtual bool ReserveAssembly(size_t bytes) = 0;
  virtual void ReleaseAssembly(size_t bytes) = 0;
  // The server's certificate and key for secure policies; nullptr without them.
  virtual const LocalIdentity* Identity() const = 0;
  // Whether a channel with this policy and mode may open.
  virtual bool Offers(std::string_view policyUri, SecurityMode mode) const = 0;
  // Trust in a client certificate (leaf first, then its chain) at OpenSecureChannel.
  virtual StatusCode VerifyCertificate(std::string_view der) = 0;
  // Random bytes for the server nonce of a new token.
  virtual std::string ChannelNonce(size_t n) = 0;
};

class Connection {
 public:
  Connection(uint64_t id, ChannelHost& host);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  uint64_t Id() const { return id_; }
  // Remote IP address as text; empty for connections without a socket.
  const std::string& Peer() const { return peer_; }
  void SetPeer(std::string peer) { peer_ = std::move(peer); }
  // Bytes received from the peer; complete chunks are handled until the connection is
  // Busy, the rest waits in the input buffer for Resume.
  void Feed(const uint8_t* data, size_t n);
  void Resume() { HandleInput(); }
  bool HasInput() const { return !in_.empty(); }
  // Its unsent output is above the bound: the transport stops reading its requests.
  bool OutputFull() const;
  // OutputFull, or the run step has no time left for requests.
  bool Busy() const { return OutputFull() || host_.OutOfTime(); }
  // Pending output for the transport.
  const uint8_t* OutData() const { return out_.data() + outPos_; }
  size_t OutSize() const { return out_.size() - outPos_; }
  void Consume(size_t n);
  // True once the connection takes no more input; it closes when the output is sent.
  bool Closing() const { return closing_; }
  void Close();
  // Closing for longer than the grace time: drop it even if output is left.
  bool Abandoned(int64_t nowMs) const;

  // Sends a service response in MSG chunks.
  void SendMessage(uint32_t requestId, const uint8_t* body, size_t size);
  // Sends an Error message and closes the connection.
  void Fail(StatusCode code, std::string_view reason);
  // Closes the connection when a time limit passed (hello, token lifetime).
  // `inputRead`: the step read all input that was there; without it, time since the
  // last received byte may be the server's own delay and closes nothing.
  void CheckTimers(int64_t nowMs, bool inputRead = true);

  bool HelloDone() const { return helloDone_; }
  // A session was activated on this connection: it is a client, not a visitor.
  bool Activated() const { return activated_; }
  void MarkActivated() { activated_ = true; }
  int64_t CreatedMs() const { return createdMs_; }
  // Last time output moved to the socket (or the connection's start).
  int64_t LastSendMs() const { return lastSendMs_; }
  bool ChannelOpen() const { return channelOpen_; }
  uint32_t ChannelId() const { return channelId_; }
  const std::string& EndpointUrl() const { return endpointUrl_; }
  // Largest response body the client accepts (its MaxMessageSize and MaxChunkCount).
  size_t MaxResponseBody() const;
  StatusCode CloseReason() const { return closeReason_; }
  // The channel's security policy once OpenSecureChannel arrived; nullptr before.
  const SecurityPolicy* Policy() const { return policy_.get(); }
  int64_t LastReceiveMs() const { return lastReceiveMs_; }

 private:
  void HandleInput();
  void DropAssembly();
  void HandleChunk(uint8_t* chunk, size_t size);
  void HandleHello(const uint8_t* chunk, size_t size);
  void HandleOpen(uint8_t* chunk, size_t size);
  void HandleSymmetric(uint8_t* chunk, size_t size);
  void OpenChannel(uint32_t requestId, const uint8_t* body, size_t size, uint32_t headerChannel);
  bool CheckSequence(uint32_t seq);
  void BeginChunk(const char type[3], char chunkType, size_t& sizeAt);

  uint64_t id_;
  ChannelHost& host_;
  std::string peer_;
  bool activated_ = false;
  int64_t lastSendMs_ = 0;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  size_t outPos_ = 0;
  bool closing_ = false;
  int64_t closingSinceMs_ = 0;
  StatusCode closeReason_ = status::Good;

  // Transport parameters after Hello.
  bool helloDone_ = false;
  uint32_t recvChunk_ = 8192;  // largest chunk we accept
  uint32_t sendChunk_ = 8192;  // largest chunk we send
  uint32_t clientMaxMessage_ = 0;  // 0: no limit
  uint32_t clientMaxChunks_ = 0;
  std::string endpointUrl_;
  int64_t createdMs_ = 0;
  int64_t lastReceiveMs_ = 0;

  // Secure channel.
  std::unique_ptr<SecurityPolicy> policy_;
  bool channelOpen_ = false;
  uint32_t channelId_ = 0;
  uint32_t tokenId_ = 0;
  uint32_t prevTokenId_ = 0;
  uint32_t sendTokenId_ = 0;  // token of our chunks
  int64_t tokenExpiryMs_ = 0;
  int64_t prevTokenExpiryMs_ = 0;
  bool seqStarted_ = false;
  uint32_t lastSeq_ = 0;
  uint32_t sendSeq_ = 0;

  // Message assembly from C chunks.
  std::vector<std::vector<uint8_t>> msgParts_;  // chunk bodies of the unfinished message
  size_t msgBytes_ = 0;                          // their sum, reserved from the host's budget
  std::vector<uint8_t> msg_;                     // the complete message while it is handled
  uint32_t msgRequestId_ = 0;
  uint32_t msgChunks_ = 0;
};

}  // namespace uaclib
#endif
