// cloudsim as a test peer: started on ephemeral ports with a device file, its ready line
// parsed, its control API called, and stopped by its own handle.
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
  // devicesJson: the device file's text. Extra command-line arguments may follow.
  bool Start(const TTempDir& dir, const std::string& devicesJson, const std::vector<std::string>& extra = {}) {
    dir.Write("devices.json", devicesJson);
    std::vector<std::string> args{"--devices", dir / "devices.json", "--write-cert", dir / "cloudsim-cert.pem"};
    args.insert(args.end(), extra.begin(), extra.end());
    out_ = dir / "cloudsim.out";
    if (!proc_.Start(std::string(ZEL_BIN_DIR) + "/cloudsim", args, {}, out_)) return false;
    for (int i = 0; i < 1000; ++i) {
      std::string text = proc_.Output();
      size_t p = text.find("cloudsim ready ");
      if (p != std::string::npos && text.find('\n', p) != std::string::npos) {
        ParseReady(text.substr(p, text.find('\n', p) - p));
        return login > 0;
      }
      if (!proc_.Running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Stop() { proc_.Kill(); }
  ~TCloudSim() { Stop(); }

  std::string LoginUrl(bool tls = false) const {
    return (tls ? "https://127.0.0.1:" + std::to_string(logins) : "http://127.0.0.1:" + std::to_string(login));
  }
  // A control call, e.g. Control("fault?kind=status&value=500&count=2"); the JSON answer.
  std::string Control(const std::string& call, int* status = nullptr) {
    NxWinHTTP session("ZelTest", false);
    TwhParsedURL url(LoginUrl() + "/control/" + call);
    TwhConnect conn(session, url);
    std::string answer;
    int r = PostText(session, conn, url, "", "text/plain", answer);
    if (status) *status = r;
    return answer;
  }
  std::string Output() const { return proc_.Output(); }
  int Pid() const { return proc_.pid(); }

  int login = 0, logins = 0;
  std::vector<int> data, datas;
  std::string certFile;

 private:
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
  std::string out_;
};
