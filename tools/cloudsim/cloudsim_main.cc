// cloudsim: plays the vendor cloud on 127.0.0.1 for tests, benchmarks and the demo.
// One login server ("/exlog2", plus the control API under "/control/") and N data
// servers ("/exmulti"), each on HTTP and on HTTPS. Prints one ready line:
//   cloudsim ready login=<p> logins=<p> data=<p,...> datas=<p,...> cert=<pem file>
// and runs until SIGTERM or SIGINT.
#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/helpers/program_info.h"
#include "tools/cloudsim/gateway_config.h"
#include "tools/cloudsim/sim_core.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct TOptions {
  std::string devices, host = "127.0.0.1", advertise = "127.0.0.1", certFile, keyFile, writeCert, writeConfig;
  int loginPort = 0, loginTlsPort = 0, dataServers = 0, threads = 16;
  std::vector<int> dataPorts, dataTlsPorts;
  int64_t sessionTimeoutMs = -1;
  int latencyMs = 0;  // slept before every login and data answer
  bool gzip = true;
};

const char kHelp[] =
    "Usage: cloudsim --devices FILE [--port P] [--tls-port P] [--data-servers N]\n"
    "                [--data-ports P,P..] [--data-tls-ports P,P..] [--session-timeout MS]\n"
    "                [--cert PEM --key PEM] [--write-cert PEM] [--write-config ZelOpc.Dat] [--no-gzip] [--threads N]\n"
    "                [--host ADDRESS] [--advertise ADDRESS] [--latency MS]\n"
    "Plays the vendor cloud for the gateway: a login server and data servers on HTTP and\n"
    "HTTPS with simulated devices, fault injection and a control API under /control/.\n"
    "Ports 0 (the default) are chosen by the system; the ready line names them.\n"
    "  --write-config FILE  writes a ZelOpc.Dat whose projects match the devices\n"
    "  --write-cert PEM     writes the server certificate, for ZELOPC_HTTP_CA_FILE\n"
    "  --latency MS         waits MS before every login and data answer (a far cloud's\n"
    "                       round trip; the control API answers at once)\n"
    "  --help               this text\n"
    "  --version            the program's version\n";

void Usage() { std::fputs(kHelp, stderr); }

std::vector<int> PortList(const std::string& s) {
  std::vector<int> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

bool ParseArgs(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--devices") o.devices = next();
    else if (a == "--port") o.loginPort = std::atoi(next().c_str());
    else if (a == "--tls-port") o.loginTlsPort = std::atoi(next().c_str());
    else if (a == "--data-servers") o.dataServers = std::atoi(next().c_str());
    else if (a == "--data-ports") o.dataPorts = PortList(next());
    else if (a == "--data-tls-ports") o.dataTlsPorts = PortList(next());
    else if (a == "--session-timeout") o.sessionTimeoutMs = std::atoll(next().c_str());
    else if (a == "--cert") o.certFile = next();
    else if (a == "--key") o.keyFile = next();
    else if (a == "--write-cert") o.writeCert = next();
    else if (a == "--write-config") o.writeConfig = next();
    else if (a == "--host") o.host = next();
    else if (a == "--advertise") o.advertise = next();
    else if (a == "--threads") o.threads = std::atoi(next().c_str());
    else if (a == "--no-gzip") o.gzip = false;
    else if (a == "--latency") o.latencyMs = std::atoi(next().c_str());
    else return false;
  }
  return !o.devices.empty() && o.latencyMs >= 0 && o.latencyMs <= 600000;
}

// A self-signed certificate for 127.0.0.1 and localhost (EC P-256, ten years), usable as
// its own trust anchor by the clients.
bool MakeSelfSigned(EVP_PKEY*& key, X509*& cert) {
  key = EVP_EC_gen("P-256");
  if (!key) return false;
  cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), long(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("cloudsim"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const char* exts[][2] = {{"basicConstraints", "critical,CA:TRUE"},
                           {"keyUsage", "critical,digitalSignature,keyCertSign"},
                           {"extendedKeyUsage", "serverAuth"},
                           {"subjectAltName", "IP:127.0.0.1,DNS:localhost"}};
  for (auto& e : exts) {
    X509_EXTENSION* ex = X509V3_EXT_conf(nullptr, &ctx, e[0], e[1]);
    if (!ex) return false;
    X509_add_ext(cert, ex, -1);
    X509_EXTENSION_free(ex);
  }
  return X509_sign(cert, key, EVP_sha256()) > 0;
}

bool WritePem(const std::string& path, X509* cert) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = PEM_write_X509(f, cert) == 1;
  std::fclose(f);
  return ok;
}

bool LoadPem(const std::string& certFile, const std::string& keyFile, EVP_PKEY*& key, X509*& cert) {
  FILE* f = std::fopen(certFile.c_str(), "r");
  if (!f) return false;
  cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  f = std::fopen(keyFile.c_str(), "r");
  if (!f) return false;
  key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return cert && key;
}

bool AcceptsGzip(const httplib::Request& req) {
  std::string v = req.get_header_value("Accept-Encoding");
  for (char& c : v) c = char(std::tolower(static_cast<unsigned char>(c)));
  return v.find("gzip") != std::string::npos;
}

// Closes the connection that carries `req` at once, before any answer byte.
void DropConnection(const httplib::Request& req) {
  int fd = -1;
  if (req.ssl) fd = SSL_get_fd(const_cast<SSL*>(req.ssl));
  for (int cand = 3; fd < 0 && cand < 4096; ++cand) {
    sockaddr_storage local{}, peer{};
    socklen_t ll = sizeof local, pl = sizeof peer;
    if (getsockname(cand, reinterpret_cast<sockaddr*>(&local), &ll) != 0) continue;
    if (getpeername(cand, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) continue;
    if (local.ss_family != AF_INET || peer.ss_family != AF_INET) continue;
    auto* l = reinterpret_cast<sockaddr_in*>(&local);
    auto* p = reinterpret_cast<sockaddr_in*>(&peer);
    if (ntohs(l->sin_port) == req.local_port && ntohs(p->sin_port) == req.remote_port) fd = cand;
  }
  if (fd >= 0) {
    linger lg{1, 0};  // reset, so the peer sees the connection die rather than a clean end
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    shutdown(fd, SHUT_RDWR);
  }
}

// Ends the client connections held on the given local ports. A server's workers wait
// up to the keep-alive time-out on an idle kept-alive connection, so without this a
// client that keeps its connection would hold up the end of the program for a minute.
void ShutdownClientConnections(const std::vector<int>& localPorts) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    int fd = std::atoi(e.path().filename().c_str());
    sockaddr_storage local{}, peer{};
    socklen_t ll = sizeof local, pl = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0 || local.ss_family != AF_INET) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) continue;
    int port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    if (std::find(localPorts.begin(), localPorts.end(), port) != localPorts.end()) shutdown(fd, SHUT_RDWR);
  }
}

constexpr const char* kBodyType = "application/octet-stream";  // never re-compressed by httplib

// Sends a protocol answer, spoiled by `fault` when there is one.
void Answer(const httplib::Request& req, httplib::Response& res, std::string body, bool gzipOn,
            const TSimFault* fault) {
  bool gz = gzipOn && AcceptsGzip(req);
  if (fault && fault->kind == TFaultKind::CorruptGzip) {
    std::string z = GzipCompress(body);
    // Damage the compressed data and the trailer: inflate fails whatever it meets first.
    for (size_t i = 10; i < z.size(); i += 7) z[i] = char(z[i] ^ 0x5A);
    res.set_header("Content-Encoding", "gzip");
    res.set_content(std::move(z), kBodyType);
    return;
  }
  if (gz) {
    body = GzipCompress(body);
    res.set_header("Content-Encoding", "gzip");
  }
  if (fault && fault->kind == TFaultKind::Truncate) {
    size_t full = body.size();
    size_t keep = fault->value > 0 ? std::min<size_t>(size_t(fault->value), full) : full / 2;
    if (keep >= full && full > 0) keep = full - 1;
    auto shared = std::make_shared<std::string>(std::move(body));
    res.set_content_provider(full, kBodyType, [shared, keep](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset < keep) sink.write(shared->data() + offset, keep - offset);
      return false;  // abort: the connection closes short of Content-Length
    });
    return;
  }
  res.set_content(std::move(body), kBodyType);
}

// Applies a fault that acts before the answer exists; true when the request is done.
bool PreFault(const httplib::Request& req, httplib::Response& res, const TSimFault& f) {
  switch (f.kind) {
    case TFaultKind::Delay:
      std::this_thread::sleep_for(std::chrono::milliseconds(f.value));
      return false;
    case TFaultKind::Status:
      res.status = f.value;
      res.set_content("cloudsim fault " + std::to_string(f.value), kBodyType);
      return true;
    case TFaultKind::Drop:
      DropConnection(req);
      res.status = 500;
      return true;
    default: return false;
  }
}

std::string Param(const httplib::Request& req, const char* name, const char* def = "") {
  return req.has_param(name) ? req.get_param_value(name) : std::string(def);
}

void Json(httplib::Response& res, const std::string& body, int status = 200) {
  res.status = status;
  res.set_content(body, "application/json");
}

// The simulated distance to the cloud: every login and data answer waits this long
// first, on its worker thread (the pool is sized for it with --threads).
void Latency(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetupLogin(httplib::Server& s, TCloudSim& sim, bool gzipOn, int latencyMs) {
  s.Post("/exlog2", [&sim, gzipOn, latencyMs](const httplib::Request& req, httplib::Response& res) {
    Latency(latencyMs);
    TSimFault f;
    bool has = sim.TakeFault(TFaultPath::Login, f);
    if (has && PreFault(req, res, f)) return;
    std::string body;
    if (has && f.kind == TFaultKind::Head)
      body = "ERROR\r\n" + std::to_string(f.value) + std::string(kSimSep);
    else
      body = sim.HandleLogin(req.body, SteadyMs());
    Answer(req, res, std::move(body), gzipOn, has ? &f : nullptr);
  });

  // Control API. Every call answers JSON; unknown devices give 404.
  auto handle = [&sim](const httplib::Request& req, httplib::Response& res) {
    std::string what = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    std::string dev = Param(req, "device");
    if (what == "fault") {
      TSimFault f;
      std::string kind = Param(req, "kind"), path = Param(req, "path", "exmulti");
      f.count = std::atoi(Param(req, "count", "1").c_str());
      f.value = std::atoi(Param(req, "value", "0").c_str());
      f.skip = std::atoi(Param(req, "skip", "0").c_str());
      f.path = path == "exlog2" ? TFaultPath::Login : path == "any" ? TFaultPath::Any : TFaultPath::Data;
      if (kind == "status") f.kind = TFaultKind::Status;
      else if (kind == "head") f.kind = TFaultKind::Head;
      else if (kind == "delay") f.kind = TFaultKind::Delay;
      else if (kind == "drop") f.kind = TFaultKind::Drop;
      else if (kind == "truncate") f.kind = TFaultKind::Truncate;
      else if (kind == "corruptgzip") f.kind = TFaultKind::CorruptGzip;
      else return Json(res, JsonError("unknown kind"), 400);
      sim.AddFault(f);
      return Json(res, JsonOk());
    }
    if (what == "clearfaults") {
      sim.ClearFaults();
      return Json(res, JsonOk());
    }
    if (what == "offline" || what == "online") {
      bool ok = sim.SetOnline(dev, what == "online", Param(req, "mode") == "error");
      return Json(res, ok ? JsonOk() : JsonError("unknown device"), ok ? 200 : 404);
    }
    if (what == "loginerror") {
      bool ok = sim.SetLoginError(dev, std::atoi(Param(req, "code", "0").c_str()));
      return Json(res, ok ? JsonOk() : JsonError("unknown device"), ok ? 200 : 404);
    }
    if (what == "changevars") {
      bool ok = sim.ChangeVarList(dev);
      return Json(res, ok ? JsonOk() : JsonError("unknown device"), ok ? 200 : 404);
    }
    if (what == "invalidate") {
      int n = sim.InvalidateSessions(Param(req, "sid"), dev);
      return Json(res, JsonCount("invalidated", n));
    }
    if (what == "writes") return Json(res, sim.WritesJson());
    if (what == "clearwrites") {
      sim.ClearWrites();
      return Json(res, JsonOk());
    }
    if (what == "counters") return Json(res, sim.CountersJson());
    if (what == "resetcounters") {
      sim.ResetCounters();
      return Json(res, JsonOk());
    }
    if (what == "sessions") return Json(res, sim.SessionsJson(SteadyMs()));
    if (what == "devices") return Json(res, sim.DevicesJson(SteadyMs()));
    if (what == "set") {
      std::string text = Param(req, "value");
      char* end = nullptr;
      double v = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(v)) return Json(res, JsonError("bad value"), 400);
      int64_t atUs = 0;
      if (!sim.SetValue(dev, Param(req, "name"), v, atUs)) return Json(res, JsonError("unknown"), 404);
      return Json(res, JsonOkAt(atUs));
    }
    if (what == "reads") {
      std::string j = sim.ReadsJson(dev);
      return j.empty() ? Json(res, JsonError("unknown device"), 404) : Json(res, j);
    }
    if (what == "value") {
      std::string j;
      if (!sim.ValueJson(dev, Param(req, "name"), SteadyMs(), j)) return Json(res, JsonError("unknown"), 404);
      return Json(res, j);
    }
    Json(res, JsonError("unknown control call"), 404);
  };
  s.Get("/control/([a-z]+)", handle);
  s.Post("/control/([a-z]+)", handle);
}

void SetupData(httplib::Server& s, TCloudSim& sim, int index, bool gzipOn, int latencyMs) {
  s.Post("/exmulti", [&sim, index, gzipOn, latencyMs](const httplib::Request& req, httplib::Response& res) {
    Latency(latencyMs);
    TSimFault f;
    bool has = sim.TakeFault(TFaultPath::Data, f);
    if (has && PreFault(req, res, f)) return;
    std::string body;
    if (has && f.kind == TFaultKind::Head) {
      char head[16];
      std::snprintf(head, sizeof head, "ERROR\r\n%03d", f.value % 1000);
      body = head;
    } else {
      body = sim.HandleBatch(index, req.body, SteadyMs());
    }
    Answer(req, res, std::move(body), gzipOn, has ? &f : nullptr);
  });
}

void Tune(httplib::Server& s, int threads) {
  s.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
  s.set_keep_alive_max_count(1000000);
  s.set_keep_alive_timeout(60);
  s.set_read_timeout(60);
  s.set_write_timeout(60);
  s.set_tcp_nodelay(true);
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv, "cloudsim", kHelp)) return 0;
  TOptions opt;
  if (!ParseArgs(argc, argv, opt)) {
    Usage();
    return 2;
  }
  // SIGTERM and SIGINT are taken by sigwait in the main thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ifstream in(opt.devices, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cloudsim: cannot read %s\n", opt.devices.c_str());
    return 1;
  }
  std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  TCloudSim sim;
  std::string err;
  if (!sim.Load(json, err)) {
    std::fprintf(stderr, "cloudsim: %s: %s\n", opt.devices.c_str(), err.c_str());
    return 1;
  }
  if (opt.dataServers > 0) sim.SetDataServerCount(opt.dataServers);
  if (opt.sessionTimeoutMs >= 0) sim.SetSessionTimeoutMs(opt.sessionTimeoutMs);
  int servers = sim.DataServerCount();

  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string certPath = opt.writeCert;
  std::string tempDir;
  if (!opt.certFile.empty()) {
    if (!LoadPem(opt.certFile, opt.keyFile, key, cert)) {
      std::fprintf(stderr, "cloudsim: cannot load --cert/--key\n");
      return 1;
    }
    if (certPath.empty()) certPath = opt.certFile;
  } else if (!MakeSelfSigned(key, cert)) {
    std::fprintf(stderr, "cloudsim: cannot make a certificate\n");
    return 1;
  }
  if (certPath.empty()) {
    char tmpl[] = "/tmp/cloudsim-XXXXXX";
    if (char* d = mkdtemp(tmpl)) {
      tempDir = d;
      certPath = tempDir + "/cloudsim-cert.pem";
    }
  }
  if (certPath != opt.certFile && !WritePem(certPath, cert)) {
    std::fprintf(stderr, "cloudsim: cannot write %s\n", certPath.c_str());
    return 1;
  }

  // Servers: [0] login http, [1] login https, then per data server http, https.
  std::vector<std::unique_ptr<httplib::Server>> all;
  auto make = [&](bool tls) -> httplib::Server& {
    if (tls)
      all.push_back(std::make_unique<httplib::SSLServer>(cert, key));
    else
      all.push_back(std::make_unique<httplib::Server>());
    Tune(*all.back(), opt.threads);
    return *all.back();
  };
  SetupLogin(make(false), sim, opt.gzip, opt.latencyMs);
  SetupLogin(make(true), sim, opt.gzip, opt.latencyMs);
  for (int i = 0; i < servers; ++i) {
    SetupData(make(false), sim, i, opt.gzip, opt.latencyMs);
    SetupData(make(true), sim, i, opt.gzip, opt.latencyMs);
  }
  std::vector<int> ports;
  for (size_t i = 0; i < all.size(); ++i) {
    int want = 0;
    if (i == 0) want = opt.loginPort;
    else if (i == 1) want = opt.loginTlsPort;
    else {
      size_t k = (i - 2) / 2;
      const std::vector<int>& list = (i % 2 == 0) ? opt.dataPorts : opt.dataTlsPorts;
      if (k < list.size()) want = list[k];
    }
    int port = want > 0 ? (all[i]->bind_to_port(opt.host, want) ? want : -1) : all[i]->bind_to_any_port(opt.host);
    if (port <= 0) {
      std::fprintf(stderr, "cloudsim: cannot bind %s:%d\n", opt.host.c_str(), want);
      return 1;
    }
    ports.push_back(port);
  }
  std::string data, datas;
  for (int i = 0; i < servers; ++i) {
    int p = ports[size_t(2 + 2 * i)], ps = ports[size_t(3 + 2 * i)];
    sim.SetDataAddress(i, opt.advertise + ":" + std::to_string(p), opt.advertise + ":" + std::to_string(ps));
    data += (i ? "," : "") + std::to_string(p);
    datas += (i ? "," : "") + std::to_string(ps);
  }
  std::vector<std::thread> threads;
  for (auto& s : all) threads.emplace_back([&s] { s->listen_after_bind(); });
  for (auto& s : all)
    while (!s->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  if (!opt.writeConfig.empty()) {
    std::string error;
    if (!WriteGatewayConfig(sim.DevicesSnapshot(), "http://" + opt.advertise + ":" + std::to_string(ports[0]),
                            opt.writeConfig, error)) {
      std::fprintf(stderr, "cloudsim: cannot write %s: %s\n", opt.writeConfig.c_str(), error.c_str());
      return 1;
    }
  }
  std::printf("cloudsim ready login=%d logins=%d data=%s datas=%s cert=%s\n", ports[0], ports[1], data.c_str(),
              datas.c_str(), certPath.c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  for (auto& s : all) s->stop();
  ShutdownClientConnections(ports);
  for (auto& t : threads) t.join();
  all.clear();
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!tempDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempDir, ec);
  }
  return 0;
}
