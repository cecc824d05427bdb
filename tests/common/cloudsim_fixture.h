// cloudsim as a peer of integration tests: started on ephemeral ports from a device
// file, its ready line read, its control API called, and stopped by its own handle.
#pragma once
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/http/win_http_client.h"
#include "tests/common/child_process.h"
#include "tests/common/test_env.h"

class TCloudSim {
 public:
  TCloudSim() = default;
  ~TCloudSim() { Stop(); }
  TCloudSim(const TCloudSim&) = delete;
  TCloudSim& operator=(const TCloudSim&) = delete;

  // Writes the device file into dir and starts cloudsim; extra arguments follow the
  // usual ones. True once the ready line has been read.
  bool Start(const TTempDir& dir, const std::string& devicesJson, const std::vector<std::string>& extra = {}) {
    dir.Write("devices.json", devicesJson);
    std::vector<std::string> args{"--devices", dir / "devices.json", "--write-cert", dir / "cloudsim-cert.pem"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!proc_.Start(std::string(ZEL_BIN_DIR) + "/cloudsim", args, {}, dir / "cloudsim.out")) return false;
    for (int i = 0; i < 2000; ++i) {  // up to 20 s on a loaded machine
      std::string text = proc_.Output();
      size_t p = text.find("cloudsim ready ");
      if (p != std::string::npos && text.find('\n', p) != std::string::npos) {
        ParseReady(text.substr(p, text.find('\n', p) - p));
        return login > 0 && logins > 0 && !data.empty() && data.size() == datas.size();
      }
      if (!proc_.Running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Stop() { proc_.Kill(); }
  // SIGTERM and the exit code (-1 when it did not end within the time).
  int Terminate(int ms = 10000) {
    proc_.Signal(SIGTERM);
    int code = -1;
    return proc_.Wait(ms, &code) ? code : -1;
  }
  std::string Output() const { return proc_.Output(); }

  std::string LoginUrl(bool tls = false) const { return Url(tls ? logins : login, tls); }
  std::string DataUrl(size_t server, bool tls = false) const {
    return server < data.size() ? Url(tls ? datas[server] : data[server], tls) : std::string();
  }
  // A call of the control API, e.g. Control("fault?kind=status&value=503"); the answer
  // body, and the HTTP status in *status.
  std::string Control(const std::string& call, int* status = nullptr) const {
    NxWinHTTP session("ZelTest", false);
    TwhParsedURL url(LoginUrl() + "/control/" + call);
    TwhConnect conn(session, url);
    std::string answer;
    int r = PostText(session, conn, url, "", "text/plain", answer);
    if (status) *status = r;
    return answer;
  }
  int Pid() const { return proc_.pid(); }

  int login = 0, logins = 0;
  std::vector<int> data, datas;
  std::string certFile;

 private:
  static std::string Url(int port, bool tls) {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
  }
  void ParseReady(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
      size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      std::string k = word.substr(0, eq), v = word.substr(eq + 1);
      if (k == "login") login = std::stoi(v);
      else if (k == "logins") logins = std::stoi(v);
      else if (k == "cert") certFile = v;
      else if (k == "data" || k == "datas") {
        std::vector<int>& list = k == "data" ? data : datas;
        std::istringstream ps(v);
        std::string p;
        while (std::getline(ps, p, ',')) list.push_back(std::stoi(p));
      }
    }
  }
  mutable TChildProcess proc_;
};
