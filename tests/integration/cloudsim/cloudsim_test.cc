// cloudsim as every later test meets it: a hand-written login body and a hand-written
// batch must come back byte for byte in the wire formats of the login server and the
// data servers (plain, gzip and over TLS), and each misbehaviour the control API can
// order must be seen by a client.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/http/win_http_client.h"
#include "tests/common/cloudsim_fixture.h"
#include "tests/common/test_env.h"

namespace {

const std::string kSep = "\r\n<[{#}]>\r\n";
const std::string kMark = "<[{#}]>\r\n";

// One value of each wire kind; constants, so that every answer can be written down.
const char* kDevices = R"({
  "dataServers": 2,
  "devices": [
    {"number": "20000001", "password": "pw1", "name": "Test device", "refreshMs": 1500,
     "dataServer": 0, "xinfo": "ZEL300,TEST",
     "vars": [
       {"name": "B0",   "type": "B", "access": "R", "group": "G/1", "value": 1},
       {"name": "B1",   "type": "B", "access": "W", "group": "G",   "value": 0},
       {"name": "I8",   "type": "I", "access": "W", "group": "G",   "value": -5, "wire": "i8"},
       {"name": "I16",  "type": "I", "access": "W", "group": "",    "value": 1450, "wire": "i16"},
       {"name": "I32",  "type": "I", "access": "R", "group": "G,H", "value": -70000, "wire": "i32"},
       {"name": "I64",  "type": "I", "access": "R", "group": "G",   "value": 5000000000, "wire": "i64"},
       {"name": "F32",  "type": "F", "access": "W", "group": "G",   "value": 1.5},
       {"name": "F64",  "type": "F", "access": "W", "group": "G",   "value": 55.5, "wire": "f64"},
       {"name": "None", "type": "F", "access": "R", "group": "G",   "wire": "none"}
     ]},
    {"number": "20000002", "password": "pw2", "dataServer": 1,
     "vars": [{"name": "X", "type": "F", "value": 2}]}
  ]
})";

const std::string kVarList =
    "OK\r\n9\r\nB0,B,R,G/1\r\nB1,B,W,G\r\nI8,I,W,G\r\nI16,I,W,\r\nI32,I,R,G,H\r\nI64,I,R,G\r\n"
    "F32,F,W,G\r\nF64,F,W,G\r\nNone,F,R,G\r\n";

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(char(c));
  return s;
}

// The read section of the test device with I16 holding the given 16-bit value.
std::string ReadSection(int i16) {
  return Bytes({12, 0, 3, 9,                                  // status 0, count 9 (int8)
                1, 0,                                         // B0 true, B1 false
                3, 0xFB,                                      // I8 -5
                4, i16 & 0xFF, (i16 >> 8) & 0xFF,             // I16
                5, 0x90, 0xEE, 0xFE, 0xFF,                    // I32 -70000
                6, 0x00, 0xF2, 0x05, 0x2A, 0x01, 0, 0, 0,     // I64 5000000000
                7, 0x00, 0x00, 0xC0, 0x3F,                    // F32 1.5
                8, 0, 0, 0, 0, 0, 0xC0, 0x4B, 0x40,           // F64 55.5
                12, 0});                                      // None: no value
}

struct TReply {
  int32_t status = 0;
  std::string encoding;  // Content-Encoding
  std::string raw;       // the body as it came
  std::string body;      // decoded when it was gzip
  uint32_t error = 0;    // the client's last error (a body cut short, ...)
};

class CloudSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start(dir_, kDevices, ExtraArgs())) << sim_.Output();
    session_.SetTrustFile(sim_.certFile);
    session_.SetTimeouts({5000, 5000, 5000});
  }
  virtual std::vector<std::string> ExtraArgs() { return {}; }

  TReply Post(const std::string& url, const std::string& body, bool gzip = false) {
    TwhParsedURL u(url);
    TwhConnect conn(session_, u);
    TwhRequest req(conn, u, true);
    req.SetContentType("text/plain");
    if (gzip) req.AddHeader("Accept-Encoding:gzip");
    TReply r;
    r.status = req.Send(body);
    r.error = req.LastError();
    r.encoding = req.QueryHeader("Content-Encoding");
    req.ReadToStream(r.raw);
    r.body = r.raw;
    if (SameTextAscii(r.encoding, "gzip")) {
      r.body.clear();
      if (!GunzipAppend(r.raw, r.body)) r.body = "<gzip does not decode>";
    }
    return r;
  }
  static bool SameTextAscii(std::string a, std::string b) {
    for (auto* s : {&a, &b})
      for (char& c : *s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return a == b;
  }
  TReply Login(const std::string& body, bool tls = false) { return Post(sim_.LoginUrl(tls) + "/exlog2", body); }
  TReply Batch(const std::vector<std::string>& lines, size_t server = 0, bool gzip = false, bool tls = false) {
    std::string body;
    for (size_t i = 0; i < lines.size(); ++i) body += (i ? kSep : "") + lines[i];
    return Post(sim_.DataUrl(server, tls) + "/exmulti", body, gzip);
  }
  static std::string LoginBody(const std::string& number, const std::string& pass) {
    return "ZEL=" + number + "\nPASS=" + pass + "\nSSL=1\nEXINFO=1\nXINFO=1\nAPP=ZELOPC\nAPPVER=300\nUID=TEST-UID";
  }
  // Logs the device in and returns its session id.
  std::string Sid(const std::string& number = "20000001", const std::string& pass = "pw1") {
    TReply r = Login(LoginBody(number, pass) + kSep);
    size_t p = r.body.find("\r\nSID=");
    if (r.status != 200 || p == std::string::npos) return {};
    return r.body.substr(p + 6, r.body.find("\r\n", p + 6) - p - 6);
  }
  std::string Fingerprint(const std::string& number) {
    std::string devices = sim_.Control("devices");
    size_t at = devices.find("\"number\":\"" + number + "\"");
    size_t f = devices.find("\"fingerprint\":\"", at);
    if (at == std::string::npos || f == std::string::npos) return {};
    f += 15;
    return devices.substr(f, devices.find('"', f) - f);
  }
  // Lines of a text section, each of which must end with CR LF.
  static std::vector<std::string> CrLfLines(const std::string& s, bool& allCrLf) {
    std::vector<std::string> lines;
    allCrLf = true;
    size_t start = 0;
    while (start < s.size()) {
      size_t e = s.find("\r\n", start);
      if (e == std::string::npos) {
        allCrLf = false;
        lines.push_back(s.substr(start));
        break;
      }
      lines.push_back(s.substr(start, e - start));
      start = e + 2;
    }
    return lines;
  }

  TTempDir dir_;
  TCloudSim sim_;
  NxWinHTTP session_{"ZelHTTP", false};
};

TEST_F(CloudSimTest, AnswersAHandWrittenLoginExactly) {
  const std::string body = LoginBody("20000001", "pw1") + kSep + LoginBody("20000002", "pw2") + kSep +
                           LoginBody("20000001", "wrong") + kSep + LoginBody("99999999", "x") + kSep +
                           LoginBody("20000002", "") + kSep;
  for (bool tls : {false, true}) {
    TReply r = Login(body, tls);
    ASSERT_EQ(r.status, 200) << (tls ? "https" : "http");
    EXPECT_EQ(r.encoding, "");
    // The two session ids are the only bytes not known beforehand.
    std::vector<std::string> sids;
    for (size_t p = r.body.find("SID="); p != std::string::npos; p = r.body.find("SID=", p + 4))
      sids.push_back(r.body.substr(p + 4, r.body.find("\r\n", p) - p - 4));
    ASSERT_EQ(sids.size(), 2u) << r.body;
    EXPECT_NE(sids[0], sids[1]);
    EXPECT_EQ(sids[0].size(), 32u);
    const std::string d0 = "127.0.0.1:" + std::to_string(sim_.data[0]), s0 = "127.0.0.1:" + std::to_string(sim_.datas[0]);
    const std::string d1 = "127.0.0.1:" + std::to_string(sim_.data[1]), s1 = "127.0.0.1:" + std::to_string(sim_.datas[1]);
    EXPECT_EQ(r.body, "OK" + kSep +                                                                   // batch status
                          "OK\r\nXINFO=ZEL300,TEST\r\nSID=" + sids[0] + "\r\nADDRS=" + s0 + "\r\nADDR=" + d0 + kSep +
                          "OK\r\nXINFO=ZEL200,SIM\r\nSID=" + sids[1] + "\r\nADDRS=" + s1 + "\r\nADDR=" + d1 + kSep +
                          "ERROR\r\n3" + kSep +   // wrong password
                          "ERROR\r\n1" + kSep +   // unknown device
                          "ERROR\r\n2" + kSep);   // no password
  }
}

TEST_F(CloudSimTest, AnswersAHandWrittenBatchExactly) {
  const std::string sid = Sid();
  ASSERT_FALSE(sid.empty());
  const std::string md5 = Fingerprint("20000001");
  ASSERT_EQ(md5.size(), 32u);
  const std::vector<std::string> reads = {"OP=I&SID=" + sid + "\r\n", "OP=E&SID=" + sid + "\r\nNTRG",
                                          "OP=RA&SID=" + sid + "\r\n" + md5};

  // Plain, gzip-compressed and over TLS: the same bytes once decoded.
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way == 0 ? "plain" : way == 1 ? "gzip" : "https");
    TReply r = Batch(reads, 0, way == 1, way == 2);
    ASSERT_EQ(r.status, 200);
    if (way == 1) {
      EXPECT_EQ(r.encoding, "gzip");
      ASSERT_GE(r.raw.size(), 2u);
      EXPECT_EQ(r.raw.substr(0, 2), "\x1F\x8B");
    } else {
      EXPECT_EQ(r.encoding, "");
    }
    // The device information: 15 lines ended by CR LF, with the lines the client reads.
    ASSERT_EQ(r.body.compare(0, 4 + kMark.size(), "OK\r\n" + kMark), 0) << r.body;
    size_t infoEnd = r.body.find("\r\n" + kMark, 4 + kMark.size());
    ASSERT_NE(infoEnd, std::string::npos);
    std::string info = r.body.substr(4 + kMark.size(), infoEnd + 2 - 4 - kMark.size());
    bool crlf = false;
    std::vector<std::string> lines = CrLfLines(info, crlf);
    EXPECT_TRUE(crlf);
    ASSERT_EQ(lines.size(), 15u) << info;
    EXPECT_EQ(lines[0], "OK");
    EXPECT_EQ(lines[1], "Test device");
    EXPECT_EQ(lines[13], md5);
    EXPECT_EQ(lines[14], "1500");
    // Every other byte is fixed.
    EXPECT_EQ(r.body, "OK\r\n" + kMark + info + kMark + kVarList + kMark + ReadSection(1450));
  }

  // Writes: applied or refused one by one, then seen in the values and the records.
  TReply w = Batch({"OP=W&SID=" + sid + "\r\n3\r\nI16\r\n1234\r\nB0\r\n1\r\nNope\r\n5\r\n",
                    "OP=W&SID=" + sid + "\r\n2\r\nF64\r\n"});  // count larger than its lines
  ASSERT_EQ(w.status, 200);
  EXPECT_EQ(w.body, "OK\r\n" + kMark + "OK\r\n3\r\n0\r\n12\r\n16\r\n" + kMark + "ERROR\r\n16\r\n");
  EXPECT_EQ(sim_.Control("writes"),
            "[{\"device\":\"20000001\",\"name\":\"I16\",\"value\":\"1234\",\"result\":0,\"server\":0},"
            "{\"device\":\"20000001\",\"name\":\"B0\",\"value\":\"1\",\"result\":12,\"server\":0},"
            "{\"device\":\"20000001\",\"name\":\"Nope\",\"value\":\"5\",\"result\":16,\"server\":0}]");
  EXPECT_EQ(sim_.Control("value?device=20000001&name=I16"), "{\"value\":1234}");

  // A session the cloud does not know: error items in text, tag 12 with code 8 in binary.
  TReply r = Batch({"OP=RA&SID=" + sid + "\r\n" + md5, "OP=E&SID=nobody\r\nNTRG", "OP=RA&SID=nobody\r\n",
                    "OP=XX&SID=" + sid + "\r\n"});
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "OK\r\n" + kMark + ReadSection(1234) + kMark + "ERROR\r\n8\r\n" + kMark + Bytes({12, 8}) + kMark +
                        "ERROR\r\n16\r\n");

  EXPECT_NE(sim_.Control("counters").find("\"batches\":5,\"lines\":15,\"I\":3,\"E\":4,\"RA\":5,\"W\":2,\"other\":1"),
            std::string::npos)
      << sim_.Control("counters");
  sim_.Control("resetcounters");
  EXPECT_NE(sim_.Control("counters").find("\"batches\":0,\"lines\":0"), std::string::npos);
  sim_.Control("clearwrites");
  EXPECT_EQ(sim_.Control("writes"), "[]");
}

TEST_F(CloudSimTest, EachFaultOfTheControlApiIsSeenByTheClient) {
  const std::string sid = Sid();
  ASSERT_FALSE(sid.empty());
  const std::vector<std::string> read = {"OP=RA&SID=" + sid + "\r\n"};
  const std::string good = "OK\r\n" + kMark + ReadSection(1450);
  auto fault = [&](const std::string& q) {
    int status = 0;
    std::string a = sim_.Control("fault?" + q, &status);
    EXPECT_EQ(status, 200) << q << ": " << a;
  };

  // HTTP status, for as many answers as asked, and only on the path asked.
  fault("kind=status&value=503&count=2");
  EXPECT_EQ(Login(LoginBody("20000001", "pw1") + kSep).status, 200);
  EXPECT_EQ(Batch(read).status, 503);
  EXPECT_EQ(Batch(read, 1).status, 503);
  EXPECT_EQ(Batch(read).body, good);
  fault("kind=status&value=500&path=exlog2");
  EXPECT_EQ(Batch(read).body, good);
  EXPECT_EQ(Login(LoginBody("20000001", "pw1") + kSep).status, 500);
  fault("kind=status&value=404&path=any&count=2");
  EXPECT_EQ(Login(LoginBody("20000001", "pw1") + kSep).status, 404);
  EXPECT_EQ(Batch(read).status, 404);

  // A server code in the head: three digits on the data path; a status item that is
  // not "OK" on the login path.
  fault("kind=head&value=8");
  EXPECT_EQ(Batch(read).body, "ERROR\r\n008");
  fault("kind=head&value=15&path=exlog2");
  EXPECT_EQ(Login(LoginBody("20000001", "pw1") + kSep).body, "ERROR\r\n15" + kSep);

  // A delay longer than the client waits: a time-out; the next answer is on time.
  {
    NxWinHTTP impatient("ZelHTTP", false);
    impatient.SetTimeouts({5000, 300, 300});
    fault("kind=delay&value=1500");
    TwhParsedURL u(sim_.DataUrl(0) + "/exmulti");
    TwhConnect conn(impatient, u);
    std::string answer;
    EXPECT_EQ(PostStream(impatient, conn, u, read[0], answer, "text/plain", ""), -12002);
  }
  EXPECT_EQ(Batch(read).body, good);

  // A dropped connection: a transport failure, no answer at all. (On a kept-alive
  // connection the transport sends the request once more on a new one when the old one
  // dies before any answer byte, so one dropped answer is seen only on a fresh
  // connection; two in a row are seen on any.)
  {
    NxWinHTTP fresh("ZelHTTP", false);
    fault("kind=drop");
    TwhParsedURL u(sim_.DataUrl(0) + "/exmulti");
    TwhConnect conn(fresh, u);
    std::string answer;
    EXPECT_LT(PostStream(fresh, conn, u, read[0], answer, "text/plain", ""), 0);
    EXPECT_EQ(answer, "");
  }
  ASSERT_EQ(Batch(read).body, good);  // the kept-alive connection of the test's session
  fault("kind=drop&count=2");
  TReply dropped = Batch(read);
  EXPECT_LT(dropped.status, 0);
  EXPECT_EQ(dropped.raw, "");

  // A body cut short: the status stands, the body holds what came.
  fault("kind=truncate&value=10");
  TReply cut = Batch(read);
  EXPECT_EQ(cut.status, 200);
  EXPECT_EQ(cut.error, 12030u);
  EXPECT_EQ(cut.raw, good.substr(0, 10));
  fault("kind=truncate");  // half of the body
  EXPECT_EQ(Batch(read).raw, good.substr(0, good.size() / 2));

  // Corrupt gzip, even to a client that did not ask for gzip.
  fault("kind=corruptgzip");
  TReply corrupt = Batch(read);
  EXPECT_EQ(corrupt.status, 200);
  EXPECT_EQ(corrupt.encoding, "gzip");
  std::string decoded;
  EXPECT_FALSE(GunzipAppend(corrupt.raw, decoded));

  // Faults wait in order; clearing them leaves the answers whole.
  fault("kind=status&value=502&count=5");
  sim_.Control("clearfaults");
  EXPECT_EQ(Batch(read).body, good);

  int status = 0;
  EXPECT_NE(sim_.Control("fault?kind=meltdown", &status).find("unknown kind"), std::string::npos);
  EXPECT_EQ(status, 400);
  EXPECT_NE(sim_.Control("faults", &status).find("unknown control call"), std::string::npos);
  EXPECT_EQ(status, 404);
  EXPECT_NE(sim_.Control("counters").find("\"faults\":14"), std::string::npos) << sim_.Control("counters");
}

TEST_F(CloudSimTest, DevicesGoOfflineChangeTheirListAndLoseTheirSessions) {
  const std::string sid = Sid();
  ASSERT_FALSE(sid.empty());
  const std::string md5 = Fingerprint("20000001");
  const std::vector<std::string> all = {"OP=I&SID=" + sid + "\r\n", "OP=E&SID=" + sid + "\r\nNTRG",
                                        "OP=RA&SID=" + sid + "\r\n" + md5};
  int status = 0;

  // Offline with values: every value is tag 12; the texts still answer.
  sim_.Control("offline?device=20000001", &status);
  EXPECT_EQ(status, 200);
  TReply r = Batch({all[2]});
  std::string noValues = Bytes({12, 0, 3, 9});
  for (int i = 0; i < 9; ++i) noValues += Bytes({12, 0});
  EXPECT_EQ(r.body, "OK\r\n" + kMark + noValues);
  EXPECT_NE(Batch({all[0]}).body.find("\r\nONLINE=0\r\n"), std::string::npos);

  // Offline as an error: code 14 in every section.
  sim_.Control("offline?device=20000001&mode=error");
  r = Batch(all);
  EXPECT_EQ(r.body, "OK\r\n" + kMark + "ERROR\r\n14\r\n" + kMark + "ERROR\r\n14\r\n" + kMark + Bytes({12, 14}));

  sim_.Control("online?device=20000001");
  EXPECT_EQ(Batch({all[2]}).body, "OK\r\n" + kMark + ReadSection(1450));

  // A changed variable list: one more variable and a new fingerprint.
  sim_.Control("changevars?device=20000001", &status);
  EXPECT_EQ(status, 200);
  const std::string md5b = Fingerprint("20000001");
  EXPECT_NE(md5b, md5);
  r = Batch({all[0], all[1]});
  EXPECT_NE(r.body.find("\r\n" + md5b + "\r\n1500\r\n" + kMark), std::string::npos) << r.body;
  EXPECT_NE(r.body.find(kMark + "OK\r\n10\r\n"), std::string::npos);
  EXPECT_TRUE(r.body.ends_with("\r\nAdded1,F,W,Added\r\n")) << r.body;

  // Refused logins on request, until the code is cleared.
  sim_.Control("loginerror?device=20000002&code=15");
  EXPECT_EQ(Login(LoginBody("20000002", "pw2") + kSep).body, "OK" + kSep + "ERROR\r\n15" + kSep);
  sim_.Control("loginerror?device=20000002&code=0");
  EXPECT_FALSE(Sid("20000002", "pw2").empty());

  // Sessions invalidated by id or by device end in code 8; a new login works again.
  EXPECT_NE(sim_.Control("sessions").find("\"sid\":\"" + sid + "\""), std::string::npos);
  EXPECT_EQ(sim_.Control("invalidate?sid=" + sid), "{\"invalidated\":1}");
  EXPECT_EQ(Batch({all[2]}).body, "OK\r\n" + kMark + Bytes({12, 8}));
  const std::string sid2 = Sid();
  ASSERT_FALSE(sid2.empty());
  EXPECT_EQ(sim_.Control("invalidate?device=20000001"), "{\"invalidated\":1}");
  EXPECT_EQ(Batch({"OP=I&SID=" + sid2 + "\r\n"}).body, "OK\r\n" + kMark + "ERROR\r\n8\r\n");

  for (const char* call : {"offline?device=nope", "online?device=nope", "changevars?device=nope",
                           "loginerror?device=nope&code=1", "value?device=20000001&name=nope"}) {
    sim_.Control(call, &status);
    EXPECT_EQ(status, 404) << call;
  }
}

// The latency marks: a change made by the device itself is carried by the first read
// answer stamped after it, and only read answers with values are stamped.
TEST_F(CloudSimTest, ADeviceSideChangeIsCarriedByTheFirstReadStampedAfterIt) {
  const std::string sid = Sid();
  ASSERT_FALSE(sid.empty());
  const std::string read = "OP=RA&SID=" + sid + "\r\n" + Fingerprint("20000001");
  auto times = [&] {
    std::string j = sim_.Control("reads?device=20000001");
    std::vector<int64_t> out;
    size_t p = j.find("\"timesUs\":["), end = j.find(']', p);
    if (p == std::string::npos || end == std::string::npos) return out;
    std::istringstream list(j.substr(p + 11, end - p - 11));
    for (std::string item; std::getline(list, item, ',');) out.push_back(std::atoll(item.c_str()));
    return out;
  };
  ASSERT_EQ(Batch({read, "OP=RA&SID=nobody\r\n"}).body, "OK\r\n" + kMark + ReadSection(1450) + kMark + Bytes({12, 8}));
  EXPECT_NE(sim_.Control("reads?device=20000001").find("\"reads\":1,"), std::string::npos);
  ASSERT_EQ(times().size(), 1u);

  std::string a = sim_.Control("set?device=20000001&name=I16&value=777");
  ASSERT_EQ(a.rfind("{\"ok\":true,\"atUs\":", 0), 0u) << a;
  const int64_t atUs = std::atoll(a.c_str() + 18);
  EXPECT_LT(times()[0], atUs);
  EXPECT_EQ(Batch({read}).body, "OK\r\n" + kMark + ReadSection(777));
  std::vector<int64_t> t = times();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_GT(t[1], atUs);
  EXPECT_EQ(sim_.Control("writes"), "[]");  // not a client write

  int status = 0;
  for (const char* call : {"set?device=20000001&name=I16&value=abc", "set?device=20000001&name=I16&value=",
                           "set?device=20000001&name=I16&value=inf"}) {
    sim_.Control(call, &status);
    EXPECT_EQ(status, 400) << call;
  }
  for (const char* call : {"set?device=nope&name=X&value=1", "set?device=20000001&name=nope&value=1",
                           "reads?device=nope"}) {
    sim_.Control(call, &status);
    EXPECT_EQ(status, 404) << call;
  }
}

class CloudSimShortSessionTest : public CloudSimTest {
 protected:
  std::vector<std::string> ExtraArgs() override { return {"--session-timeout", "1000"}; }
};

TEST_F(CloudSimShortSessionTest, IdleSessionsExpireAndUsedOnesStay) {
  const std::string sid = Sid();
  ASSERT_FALSE(sid.empty());
  const std::vector<std::string> info = {"OP=I&SID=" + sid + "\r\n"};
  // Used more often than the time-out: each use keeps it alive.
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Batch(info).body.compare(0, 4 + kMark.size() + 4, "OK\r\n" + kMark + "OK\r\n"), 0) << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(Batch(info).body, "OK\r\n" + kMark + "ERROR\r\n8\r\n");
}

TEST_F(CloudSimTest, EndsCleanlyOnSigtermWhileClientsHoldConnections) {
  // Kept-alive connections on a plain and a TLS port stay open in the session's pool.
  ASSERT_FALSE(Sid().empty());
  ASSERT_EQ(Login(LoginBody("20000001", "pw1") + kSep, true).status, 200);
  ASSERT_EQ(Batch({"OP=I&SID=x\r\n"}, 1, false, true).status, 200);
  // Well within the servers' keep-alive time-out of a minute.
  EXPECT_EQ(sim_.Terminate(20000), 0) << sim_.Output();
}

// A broken device file ends the program with one line naming the file and the fault and
// exit code 1, before any port is taken: never a crash, a hang or a huge allocation.
TEST(CloudSimDeviceFile, MalformedFileIsRefusedWithItsReason) {
  struct TCase {
    const char* text;
    const char* reason;
  };
  const TCase cases[] = {
      {"{\"devices\": [", "parse error at line 1, column 14"},
      {"{\"devices\": []} trailing", "parse error"},
      {"{\"devices\": [{\"number\": \"1\xff\"}]}", "parse error"},
      {"[]", "the device file must hold one object"},
      {"{\"devices\": {}}", "\"devices\" must be an array"},
      {"{\"devices\": [7]}", "a device must be an object"},
      {"{\"devices\": [{\"name\": \"x\"}]}", "a device without \"number\""},
      {"{\"devices\": [{\"number\": \"1\", \"vars\": [{\"type\": \"F\"}]}]}",
       "a variable without \"name\" in device 1"},
      {"{\"dataServers\": 1e12, \"devices\": []}", "\"dataServers\" must lie in 0..256"},
      {"{\"devices\": [{\"number\": \"1\", \"dataServer\": 1e9}]}", "\"dataServer\" must lie in"},
      {"{\"devices\": [{\"number\": \"1\", \"refreshMs\": 1e300}]}", "\"refreshMs\" must lie in"},
  };
  for (const TCase& c : cases) {
    TTempDir dir;
    dir.Write("devices.json", c.text);
    TChildProcess proc;
    ASSERT_TRUE(proc.Start(std::string(ZEL_BIN_DIR) + "/cloudsim", {"--devices", dir / "devices.json"}, {},
                           dir / "out"));
    int code = -1;
    ASSERT_TRUE(proc.Wait(10000, &code)) << c.text;
    EXPECT_EQ(code, 1) << c.text;
    const std::string out = proc.Output();
    EXPECT_EQ(out.rfind("cloudsim: " + (dir / "devices.json") + ": ", 0), 0u) << c.text << "\n" << out;
    EXPECT_NE(out.find(c.reason), std::string::npos) << c.text << "\n" << out;
    EXPECT_EQ(out.find("ready"), std::string::npos) << c.text;
  }
}

}  // namespace
