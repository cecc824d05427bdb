// The HTTP client against real sockets on 127.0.0.1: each kind of transport failure
// gives its WinHTTP code, answers are gzip-decoded by the client's own rule, and the
// scheme alone decides whether TLS is used. The suite runs in a network namespace with
// only loopback, so the lookup of a name under ".invalid" fails at once and goes nowhere.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "common/http/win_http_client.h"
#include "common/link/data_server.h"
#include "common/log/server_log.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/log_receiver.h"
#include "tests/common/test_env.h"
#include "tests/integration/http/tiny_server.h"

namespace {

// Time-outs short enough for a test, long enough for a loaded machine to connect.
constexpr TwhTimeouts kShort{5000, 400, 400};

std::string Url(uint16_t port, const char* scheme = "http", const char* path = "/exmulti") {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

// A port that is bound but not listening: connecting to it is refused, and no other
// program can take it while the test runs.
class TRefusingPort {
 public:
  TRefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~TRefusingPort() { ::close(fd_); }
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

std::string Compress(const std::string& data, int windowBits) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, uLong(data.size())) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = uInt(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = uInt(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}
std::string Gzip(const std::string& d) { return Compress(d, 16 + 15); }
std::string Deflate(const std::string& d) { return Compress(d, 15); }  // zlib wrapper, as "deflate" means

std::string HttpAnswer(const std::string& body, const std::string& encoding) {
  std::string a = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
  if (!encoding.empty()) a += "Content-Encoding: " + encoding + "\r\n";
  a += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  return a + body;
}

int32_t Post(NxWinHTTP& session, const std::string& url, std::string& answer, bool stream) {
  TwhParsedURL u(url);
  TwhConnect conn(session, u);
  if (stream) return PostStream(session, conn, u, "OP=RA&SID=1\r\n", answer, "text/plain", "Accept-Encoding:gzip");
  return PostText(session, conn, u, "ZEL=1\nPASS=2", "text/plain", answer);
}

TEST(HttpClientSocketTest, TransportFailuresGiveTheirWinHttpCodes) {
  TRefusingPort refused;
  TTinyServer silent(TTinyServer::TMode::Silent);
  TTinyServer hangUp(TTinyServer::TMode::HangUp);
  ASSERT_NE(silent.Port(), 0);
  ASSERT_NE(hangUp.Port(), 0);
  struct TCase {
    const char* what;
    std::string url;
    int32_t result;
  };
  const TCase cases[] = {
      {"refused port", Url(refused.Port()), -12029},
      {"name that does not resolve", "http://zel-no-such-host.invalid:8080/exmulti", -12007},
      {"accepts and never answers", Url(silent.Port()), -12002},
      {"hangs up without an answer", Url(hangUp.Port()), -12152},
      {"TLS handshake with a server that hangs up", Url(hangUp.Port(), "https"), -12175},
      {"scheme that is not HTTP", "ftp://127.0.0.1:21/exmulti", -12006},
      {"URL without a host", "http:///exmulti", -12005},
  };
  NxWinHTTP session("ZelHTTP", false);
  session.SetTimeouts(kShort);
  for (const TCase& c : cases) {
    for (bool stream : {false, true}) {
      std::string answer = "kept";
      int32_t r = Post(session, c.url, answer, stream);
      EXPECT_EQ(r, c.result) << c.what << (stream ? " (PostStream)" : " (PostText)");
      // A failed POST adds nothing to the caller's answer stream.
      if (stream) {
        EXPECT_EQ(answer, "kept") << c.what;
      }
    }
  }
}

TEST(HttpClientSocketTest, UnparsableUrlIsLoggedOnceAndFailsAsTransport) {
  TLogReceiver log;
  TScopedEnv port("ZELOPC_LOG_PORT", std::to_string(log.port()));
  ASSERT_TRUE(g_ServerLog.Open(kLogSourceServer));
  NxWinHTTP session("ZelHTTP", false);
  std::string answer;
  EXPECT_EQ(Post(session, "nonsense", answer, false), -12005);
  // The batch path takes the same road: one line, and a result below 0.
  std::string batchAnswer;
  int32_t code = 0;
  EXPECT_EQ(TOpcDataThread::PostBatch(session, "gopher://127.0.0.1:1", {"OP=RA&SID=1\r\n"}, 0, 1, batchAnswer, code),
            -12006);
  g_ServerLog.Close();
  std::vector<std::string> lines;
  TLogDatagram d;
  while (log.Next(d, 500)) lines.push_back(d.text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "WinHttpCrackUrl:ERROR:12005,nonsense");
  EXPECT_EQ(lines[1], "WinHttpCrackUrl:ERROR:12006,gopher://127.0.0.1:1/exmulti");
}

TEST(HttpClientSocketTest, GzipIsDecodedWhateverItsLetterCaseOtherEncodingsAreKept) {
  const std::string text = "OK\r\n<[{#}]>\r\nsection one\r\n<[{#}]>\r\n" + std::string(3000, 'x') + std::string("\0\1\2", 3);
  const std::string gz = Gzip(text), zl = Deflate(text);
  std::string corrupt = gz;
  for (size_t i = 12; i < corrupt.size(); i += 5) corrupt[i] = char(corrupt[i] ^ 0x55);
  struct TCase {
    const char* encoding;
    std::string body;
    std::string answer;  // appended to what the caller's stream held
  };
  const TCase cases[] = {
      {"gzip", gz, text},
      {"GZIP", gz, text},
      {"GZip", gz, text},
      {"deflate", zl, zl},       // kept exactly as received
      {"", text, text},
      {"identity", text, text},
      {"gzip", gz + gz, text + text},  // two members decode one after the other
      {"gzip", corrupt, ""},     // nothing usable is appended; the callers' checks reject it
      {"gzip", gz.substr(0, gz.size() / 2), ""},
  };
  NxWinHTTP session("ZelHTTP", false);
  session.SetTimeouts(kShort);
  for (const TCase& c : cases) {
    TTinyServer server(TTinyServer::TMode::Answer, HttpAnswer(c.body, c.encoding));
    std::string answer = "before|";
    EXPECT_EQ(Post(session, Url(server.Port()), answer, true), 200) << c.encoding;
    EXPECT_EQ(answer, "before|" + c.answer) << c.encoding << ", " << c.body.size() << " bytes";
    // The transport itself decodes nothing: the request asks only for what the caller asked.
    std::string req = server.Received();
    EXPECT_NE(req.find("\r\nAccept-Encoding:gzip\r\n"), std::string::npos) << req;
    EXPECT_NE(req.find("\r\nContent-Type:text/plain\r\n"), std::string::npos) << req;
  }
  // Text answers are never decoded.
  TTinyServer server(TTinyServer::TMode::Answer, HttpAnswer(gz, "gzip"));
  std::string answer;
  EXPECT_EQ(Post(session, Url(server.Port()), answer, false), 200);
  EXPECT_EQ(answer, gz);
}

TEST(HttpClientSocketTest, HttpsUsesTlsAndHttpDoesNot) {
  NxWinHTTP session("ZelHTTP", false);
  session.SetTimeouts(kShort);
  {
    // What goes on the wire: a TLS handshake record for https, the request line for http.
    TTinyServer tlsPeer(TTinyServer::TMode::HangUp);
    std::string answer;
    EXPECT_EQ(Post(session, Url(tlsPeer.Port(), "https"), answer, true), -12175);
    std::string hello = tlsPeer.Received();
    ASSERT_GE(hello.size(), 3u);
    EXPECT_EQ(hello[0], '\x16');  // handshake
    EXPECT_EQ(hello[1], '\x03');  // TLS record version 3.x
    TTinyServer plain(TTinyServer::TMode::Answer, HttpAnswer("fine", ""));
    EXPECT_EQ(Post(session, Url(plain.Port()), answer, true), 200);
    EXPECT_EQ(plain.Received().rfind("POST /exmulti HTTP/1.1\r\n", 0), 0u) << plain.Received();
  }

  // Against a real TLS server: the request of an https URL is secure and runs over TLS
  // once the server's certificate is trusted; without that trust the handshake fails.
  TTempDir dir;
  TCloudSim sim;
  ASSERT_TRUE(sim.Start(dir, R"({"devices":[{"number":"1","password":"p","vars":[]}]})"));
  session.SetTrustFile(sim.certFile);
  for (bool tls : {false, true}) {
    TwhParsedURL url(sim.LoginUrl(tls) + "/control/counters");
    EXPECT_EQ(url.Scheme, tls ? kWhSchemeHttps : kWhSchemeHttp);
    TwhConnect conn(session, url);
    TwhRequest req(conn, url, false);
    EXPECT_EQ(req.IsSecure(), tls);
    EXPECT_EQ(req.Send(""), 200) << (tls ? "https" : "http");
    EXPECT_EQ(req.UsedTls(), tls);
    std::string body;
    req.ReadToText(body);
    EXPECT_NE(body.find("\"logins\":"), std::string::npos) << body;
  }
  TScopedEnv noCa("ZELOPC_HTTP_CA_FILE", "");
  NxWinHTTP untrusting("ZelHTTP", false);
  untrusting.SetTimeouts(kShort);
  std::string answer;
  EXPECT_EQ(Post(untrusting, sim.LoginUrl(true) + "/exlog2", answer, false), -12175);
  EXPECT_EQ(Post(untrusting, sim.LoginUrl(false) + "/exlog2", answer, false), 200);
}

}  // namespace
