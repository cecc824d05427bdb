// Discovery and session services: GetEndpoints, FindServers, CreateSession,
// ActivateSession, CloseSession (OPC UA Part 4).
#include <algorithm>
#include <cmath>

#include "uaclib/log.h"
#include "uaclib/node_ids.h"
#include "uaclib/server.h"

namespace uaclib {

namespace {
constexpr std::string_view kTransportProfile =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
constexpr size_t kNonceSize = 32;
// UserTokenType values.
constexpr uint32_t kTokenAnonymous = 0, kTokenUserName = 1;
}  // namespace

std::string Server::EndpointUrlFor(std::string_view requested, const Connection& conn) const {
  // Answer with the address the client used, so clients behind NAT or in containers
  // can follow the endpoint.
  auto usable = [](std::string_view u) { return u.size() <= 4096 && u.substr(0, 10) == "opc.tcp://"; };
  if (usable(requested)) return std::string(requested);
  if (usable(conn.EndpointUrl())) return conn.EndpointUrl();
  return "opc.tcp://" + TcpTransport::HostName() + ":" + std::to_string(Port());
}

// ApplicationDescription (OPC UA Part 4).
void Server::EncodeApplication(Encoder& e, std::string_view url) const {
  e.String(config_.info.applicationUri);
  e.String(config_.info.productUri);
  e.LocalizedText("", config_.info.productName);
  e.U32(0);          // application type: server
  e.NullString();    // gateway server URI
  e.NullString();    // discovery profile URI
  e.ArrayLength(1);  // discovery URLs
  e.String(url);
}

std::vector<std::pair<std::string_view, SecurityMode>> Server::Endpoints() const {
  std::vector<std::pair<std::string_view, SecurityMode>> out;
  if (config_.allowNone) out.emplace_back(kPolicyNoneUri, SecurityMode::None);
  if (Identity()) {
    for (std::string_view uri : kSecurePolicyUris) {
      out.emplace_back(uri, SecurityMode::Sign);
      out.emplace_back(uri, SecurityMode::SignAndEncrypt);
    }
  }
  return out;
}

// EndpointDescription (OPC UA Part 4).
void Server::EncodeEndpoint(Encoder& e, std::string_view url, std::string_view policyUri,
                            SecurityMode mode) const {
  e.String(url);
  EncodeApplication(e, url);
  if (identity_.certificate.empty())
    e.NullString();
  else
    e.ByteString(identity_.certificate);
  e.U32(uint32_t(mode));
  e.String(policyUri);
  // UserTokenPolicy (OPC UA Part 4): policyId, tokenType, issuedTokenType,
  // issuerEndpointUrl, securityPolicyUri (null: the endpoint's policy).
  auto policy = [&e](std::string_view id, uint32_t type, std::string_view secPolicy) {
    e.String(id);
    e.U32(type);
    e.NullString();
    e.NullString();
    if (secPolicy.empty())
      e.NullString();
    else
      e.String(secPolicy);
  };
  e.ArrayLength(1);
  if (!config_.hasUser)
    policy("anonymous", kTokenAnonymous, {});
  else if (mode != SecurityMode::None)
    policy("username", kTokenUserName, {});  // encrypted with the channel's policy
  else if (Identity())
    policy("username_basic256sha256", kTokenUserName, kBasic256Sha256Uri);  // never in clear
  else
    policy("username", kTokenUserName, {});  // no certificate: clients cannot encrypt
  e.String(kTransportProfile);
  // Security level: stronger policies rank higher, SignAndEncrypt above Sign.
  uint8_t level = 0;
  for (size_t i = 0; i < std::size(kSecurePolicyUris); ++i)
    if (kSecurePolicyUris[i] == policyUri) level = uint8_t(1 + i + (mode == SecurityMode::SignAndEncrypt ? 10 : 0));
  e.U8(level);
}

void Server::EncodeEndpoints(Encoder& e, std::string_view url) const {
  auto list = Endpoints();
  e.ArrayLength(int32_t(list.size()));
  for (const auto& [uri, mode] : list) EncodeEndpoint(e, url, uri, mode);
}

StatusCode Server::GetEndpoints(Call& c) {
  std::string_view url = c.in.String();
  int32_t n = c.in.ArrayLength(4);
  for (int32_t i = 0; i < n; ++i) c.in.String();  // locale ids
  n = c.in.ArrayLength(4);
  bool profileOk = n == 0;
  for (int32_t i = 0; i < n; ++i)
    if (c.in.String() == kTransportProfile) profileOk = true;
  if (!c.in.ok()) return status::BadDecodingError;
  if (!profileOk) {
    c.out.EmptyArray();
    return status::Good;
  }
  EncodeEndpoints(c.out, EndpointUrlFor(url, c.conn));
  return status::Good;
}

StatusCode Server::FindServers(Call& c) {
  std::string_view url = c.in.String();
  int32_t n = c.in.ArrayLength(4);
  for (int32_t i = 0; i < n; ++i) c.in.String();  // locale ids
  n = c.in.ArrayLength(4);
  bool match = n == 0;
  for (int32_t i = 0; i < n; ++i)
    if (c.in.String() == config_.info.applicationUri) match = true;
  if (!c.in.ok()) return status::BadDecodingError;
  if (!match) {
    c.out.EmptyArray();
    return status::Good;
  }
  c.out.ArrayLength(1);
  EncodeApplication(c.out, EndpointUrlFor(url, c.conn));
  return status::Good;
}

StatusCode Server::CreateSession(Call& c) {
  Decoder& in = c.in;
  // Client ApplicationDescription.
  std::string_view applicationUri = in.String();
  in.String();
  in.LocalizedText(nullptr, nullptr);
  in.U32();
  in.String();
  in.String();
  int32_t n = in.ArrayLength(4);
  for (int32_t i = 0; i < n; ++i) in.String();
  in.String();  // server URI
  std::string_view url = in.String();
  std::string_view name = in.String();
  std::string_view clientNonce = in.ByteString();
  std::string_view clientCertificate = in.ByteString();
  double timeout = in.F64();
  uint32_t maxResponse = in.U32();
  if (!in.ok()) return status::BadDecodingError;
  // On a secure channel the session belongs to the channel's client: it states the
  // channel's certificate and an ApplicationUri that certificate carries, and gets the
  // server's signature over its certificate and nonce.
  const SecurityPolicy* policy = c.conn.Policy();
  if (!config_.allowNone && (!policy || !policy->Algorithms())) {
    Log(kLogSession, 3, "session over SecurityPolicy None refused: the endpoint is not offered");
    return status::BadSecurityPolicyRejected;
  }
  std::string serverSignature;
  if (policy && policy->Algorithms()) {
    std::string_view channelCert = policy->RemoteCertificate();
    if (clientNonce.size() < kNonceSize) return status::BadNonceInvalid;
    if (clientCertificate.substr(0, FirstDerLength(clientCertificate)) !=
        channelCert.substr(0, FirstDerLength(channelCert)))
      return status::BadCertificateInvalid;
    StatusCode sc = verifier_->VerifyApplicationUri(
        std::span(reinterpret_cast<const uint8_t*>(channelCert.data()), channelCert.size()),
        applicationUri);
    if (IsBad(sc)) {
      Log(kLogSession, 3, "session \"%.*s\": ApplicationUri refused, 0x%08X", int(name.size()),
          name.data(), sc);
      return sc;
    }
    if (!policy->SignLocal(std::string(clientCertificate) + std::string(clientNonce), serverSignature))
      return status::BadSecurityChecksFailed;
  }
  // Sessions nobody activated have a small budget per connection, and the oldest of
  // them makes room when all sessions are taken.
  uint32_t waiting = 0;
  Session* oldest = nullptr;
  for (auto& [token, other] : sessions_) {
    if (other->activated) continue;
    if (other->channelId == c.conn.ChannelId()) ++waiting;
    if (!oldest || other->createdMs < oldest->createdMs) oldest = other.get();
  }
  if (waiting >= limits_.maxUnactivatedSessionsPerConnection) return status::BadTooManySessions;
  if (sessions_.size() >= limits_.maxSessions) {
    if (!oldest) return status::BadTooManySessions;
    Log(kLogSession, 3, "session \"%s\" dropped for a new one: never activated", oldest->name.c_str());
    CloseSession(oldest, status::BadSessionClosed);
  }

  auto s = std::make_unique<Session>();
  s->sessionId = NodeId::Numeric(1, 0);
  s->sessionId.kind = IdKind::Guid;
  s->sessionId.num = 0;
  s->sessionId.text = Nonce(16);
  s->authToken.ns = 1;
  s->authToken.kind = IdKind::Guid;
  s->authToken.text = Nonce(16);
  s->name = std::string(name.substr(0, 256));
  s->channelId = c.conn.ChannelId();
  if (!std::isfinite(timeout) || timeout <= 0) timeout = 60000;
  s->timeoutMs = std::clamp(timeout, limits_.minSessionTimeoutMs, limits_.maxSessionTimeoutMs);
  s->lastSeenMs = NowMs();
  s->createdMs = s->lastSeenMs;
  s->serverNonce = Nonce(kNonceSize);
  s->maxResponseSize = maxResponse;
  if (policy) s->clientCertificate = policy->RemoteCertificate();
  ++lastSessionNumber_;

  Encoder& e = c.out;
  e.NodeId(s->sessionId);
  e.NodeId(s->authToken);
  e.F64(s->timeoutMs);
  e.ByteString(s->serverNonce);
  if (identity_.certificate.empty())
    e.NullString();
  else
    e.ByteString(identity_.certificate);
  EncodeEndpoints(e, EndpointUrlFor(url, c.conn));
  e.EmptyArray();   // server software certificates
  if (serverSignature.empty()) {
    e.NullString();  // signature algorithm
    e.NullString();  // signature
  } else {
    e.String(policy->Algorithms()->asymSignUri);
    e.ByteString(serverSignature);
  }
  e.U32(limits_.maxMessageSize);
  Log(kLogSession, 2, "session \"%s\" created, time-out %.0f ms", s->name.c_str(), s->timeoutMs);
  NodeId token = s->authToken;
  sessions_.emplace(std::move(token), std::move(s));
  return status::Good;
}

StatusCode Server::CheckIdentity(Session& s, const ExtensionObjectView& token) {
  // A missing token counts as anonymous (OPC UA Part 4).
  bool anonymous = token.typeId.IsNull() || token.typeId.IsNs0(enc::AnonymousIdentityToken);
  if (anonymous) {
    if (config_.hasUser) {
      Log(kLogUser, 3, "anonymous login refused");
      return status::BadIdentityTokenInvalid;
    }
    s.user.clear();
    return status::Good;
  }
  if (!token.typeId.IsNs0(enc::UserNameIdentityToken) || token.encoding != 1 || !config_.hasUser)
    return status::BadIdentityTokenInvalid;
  // UserNameIdentityToken: policyId, userName, password, encryptionAlgorithm.
  Decoder d(reinterpret_cast<const uint8_t*>(token.body.data()), token.body.size());
  d.String();
  std::string_view user = d.String();
  std::string_view secret = d.ByteString();
  std::string_view algorithm = d.String();
  if (!d.ok()) return status::BadIdentityTokenInvalid;
  std::string password;
  if (algorithm.empty()) {
    // With a certificate every offered token policy encrypts: a password in clear is
    // refused before it is compared.
    if (Identity()) {
      Log(kLogUser, 3, "user \"%.*s\": password sent in clear, refused", int(user.size()), user.data());
      return status::BadIdentityTokenInvalid;
    }
    password = secret;
  } else {
    bool sha256 = algorithm == kRsaOaepSha256Uri || algorithm == kRsaOaepSha256OldUri;
    if (!sha256 && algorithm != kRsaOaepUri) return status::BadIdentityTokenInvalid;
    // Without a key no endpoint offered encryption: the token does not fit the server,
    // which says nothing about the user's password.
    if (!identity_.key.Loaded()) {
      Log(kLogUser, 3, "user \"%.*s\": encrypted password, but the server has no key", int(user.size()),
          user.data());
      return status::BadIdentityTokenInvalid;
    }
    // A password with its nonce fits a few RSA blocks; each block more is work for an
    // unknown client.
    if (identity_.key.Loaded() && secret.size() > identity_.key.Size() * limits_.maxSecretBlocks) {
      Log(kLogUser, 3, "user \"%.*s\": encrypted password of %zu bytes refused", int(user.size()),
          user.data(), secret.size());
      return status::BadIdentityTokenInvalid;
    }
    std::string plain;
    if (!identity_.key.Decrypt(sha256 ? RsaCrypt::OaepSha256 : RsaCrypt::OaepSha1, secret, plain) ||
        !ParseUserSecret(plain, s.serverNonce, password)) {
      Log(kLogUser, 3, "user \"%.*s\": password cannot be decrypted", int(user.size()), user.data());
      return status::BadUserAccessDenied;
    }
  }
  bool userOk = SameSecret(user, config_.userName);
  bool passOk = SameSecret(password, config_.password);
  if (!userOk || !passOk) {
    Log(kLogUser, 3, "user \"%.*s\": access denied", int(user.size()), user.data());
    return status::BadUserAccessDenied;
  }
  s.user = std::string(user);
  return status::Good;
}

StatusCode Server::ActivateSession(Call& c) {
  Decoder& in = c.in;
  in.String();  // client signature algorithm: the channel's policy decides
  std::string_view clientSignature = in.ByteString();
  int32_t n = in.ArrayLength(8);
  for (int32_t i = 0; i < n; ++i) {  // software certificates
    in.ByteString();
    in.ByteString();
  }
  n = in.ArrayLength(4);
  for (int32_t i = 0; i < n; ++i) in.String();  // locale ids
  ExtensionObjectView token = in.ExtensionObject();
  in.String();      // user token signature algorithm
  in.ByteString();  // user token signature
  if (!in.ok()) return status::BadDecodingError;

  // A peer that failed too often waits before its next try, and this connection ends.
  const std::string& peer = c.conn.Peer();
  if (!ActivationAllowed(peer)) {
    Log(kLogUser, 3, "%s: too many failed activations, connection closed", peer.c_str());
    SendFault(c.conn, c.requestId, c.header.requestHandle, status::BadUserAccessDenied);
    c.conn.Close();
    return kDeferred;
  }
  auto it = sessions_.find(c.header.authToken);
  if (it == sessions_.end()) {
    SpendActivation(peer);
    return status::BadSessionIdInvalid;
  }
  Session& s = *it->second;
  // The client proves it holds its certificate's key: its signature over our
  // certificate and the last nonce we gave this session.
  const SecurityPolicy* policy = c.conn.Policy();
  std::string_view channelCert = policy ? policy->RemoteCertificate() : std::string_view();
  if (channelCert != s.clientCertificate) {
    SpendActivation(peer);
    return status::BadSecurityChecksFailed;
  }
  if (policy && policy->Algorithms() &&
      !policy->VerifyRemote(identity_.certificate + s.serverNonce, clientSignature)) {
    SpendActivation(peer);
    Log(kLogSession, 3, "session \"%s\": client signature invalid", s.name.c_str());
    return status::BadApplicationSignatureInvalid;
  }
  StatusCode sc = CheckIdentity(s, token);
  if (IsBad(sc)) {
    SpendActivation(peer);
    return sc;
  }
  if (s.channelId != c.conn.ChannelId()) {
    Log(kLogSession, 2, "session \"%s\" moves to channel %u", s.name.c_str(), c.conn.ChannelId());
    s.channelId = c.conn.ChannelId();
  }
  s.orphanSinceMs = 0;
  c.conn.MarkActivated();
  s.activated = true;
  s.lastSeenMs = NowMs();
  s.serverNonce = Nonce(kNonceSize);
  c.out.ByteString(s.serverNonce);
  c.out.EmptyArray();  // results
  c.out.EmptyArray();  // diagnostic infos
  Log(kLogSession, 2, "session \"%s\" activated%s%s", s.name.c_str(), s.user.empty() ? "" : " for ",
      s.user.c_str());
  return status::Good;
}

StatusCode Server::CloseSession(Call& c) {
  c.in.Bool();  // delete subscriptions: they never outlive their session here
  if (!c.in.ok()) return status::BadDecodingError;
  Log(kLogSession, 2, "session \"%s\" closed", c.session->name.c_str());
  CloseSession(c.session, status::BadSessionClosed);
  return status::Good;
}

void Server::CloseSession(Session* s, StatusCode reason) {
  AnswerPending(*s, reason);
  while (!s->subscriptions.empty()) DeleteSubscription(*s, s->subscriptions.back()->id);
  NodeId token = s->authToken;  // the key must not live in the erased element
  sessions_.erase(token);
}

}  // namespace uaclib
