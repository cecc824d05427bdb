// The walk of a batch answer by a data server, in text (enumeration, text reads,
// writes) and in binary (typed read values), with a test project class that reads its
// sections the way a server project does. Nothing may crash or read past the answer,
// whatever the answer and whatever the projects' states by the time it is applied.
//
// Input: byte 0 = mode (bits 0-1: binary read, text read, write, text read) | projects
// - 1 (bits 2-3) | result kind (bits 4-5: 200, 200 with a server code, 503, -12029);
// then one byte per project: queued as (bits 0-1) enumeration, first read, read, read of
// a project that failed before the answer came | bit 2 lmRun | bit 3 forced refresh |
// bit 4 a known fingerprint | bits 5-7 variables; then the batch result as the worker
// thread leaves it, without its two closing zero bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/config/cfg_file.h"
#include "common/config/opc_prj.h"
#include "common/link/data_server.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/link/typed_value.h"
#include "common/log/link_texts.h"
#include "common/platform/text.h"

namespace {

class TFuzzPrj : public TOpcPrj {
 public:
  std::vector<double> Values;
  std::vector<bool> Valid;

  // Status (tag 12), count, one value per variable; tag 12 = no value.
  bool ApplyReadBin(TNxMemStream& in) override {
    TTypedValue tv;
    if (!ReadTypedValue(in, tv) || tv.tag != kTagStatus) return Fail();
    if (int code = int(tv.AsInt()); code != 0) {
      if (code == 8) NetState = ncsReLogin;
      else SetProjectError(*this, MapServerCode(code));
      return false;
    }
    if (!ReadTypedValue(in, tv) || tv.AsInt() != int64_t(Vars.size())) return Fail();
    Values.assign(Vars.size(), 0);
    Valid.assign(Vars.size(), false);
    for (size_t i = 0; i < Vars.size(); ++i) {
      if (!ReadTypedValue(in, tv)) return Fail();
      Valid[i] = tv.tag != kTagStatus;
      Values[i] = tv.value;
    }
    NetState = ncsRunning;
    return true;
  }
  // "OK", count, one decimal value or "#..." per variable.
  bool ApplyReadText(std::string_view item) override {
    std::vector<std::string> lines = SplitLines(item);
    if (lines.empty() || lines[0] != "OK") return ApplyErrorReply(*this, lines);
    auto n = lines.size() > 1 ? TryDecimalToInt(lines[1]) : std::nullopt;
    if ((n ? *n : 0) != int(Vars.size())) {
      SetProjectError(*this, nceVarConfig);
      return false;
    }
    Values.assign(Vars.size(), 0);
    Valid.assign(Vars.size(), false);
    for (size_t i = 0; i < Vars.size() && i + 2 < lines.size(); ++i) {
      const std::string& t = lines[i + 2];
      Valid[i] = !t.empty() && t[0] != '#';
      Values[i] = Valid[i] ? std::strtod(t.c_str(), nullptr) : 0;
    }
    NetState = ncsRunning;
    return true;
  }

 private:
  bool Fail() {
    SetProjectError(*this, nceNotSupported);
    return false;
  }
};

class TFuzzCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TFuzzPrj>(); }
};

// One data server for the whole run: its two threads wait and are never started.
TOpcDataServer& Server() {
  static TOpcDataServer server("http://127.0.0.1:9");
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] & 3;
  const size_t count = 1 + ((data[0] >> 2) & 3);
  const int resultKind = (data[0] >> 4) & 3;
  if (size < 1 + count) return 0;
  TOpcDataServer& ds = Server();
  TOpcDataThread& t = mode == 2 ? ds.Writer() : ds.Reader();
  TFuzzCfg cfg;
  std::vector<std::unique_ptr<TFuzzPrj>> prjs;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = data[1 + i];
    auto p = std::make_unique<TFuzzPrj>();
    p->Name = "2000000" + std::to_string(i);
    p->DispName = "P" + std::to_string(i);
    p->Owner = &cfg;
    p->SID = "S" + std::to_string(i);
    p->NetState = ncsEnum;
    p->LinkMode = (b & 4) ? lmRun : (b & 8) ? lmForceRefresh : lmRefresh;
    p->StrMD5 = (b & 16) ? "FP" : "";
    for (int v = 0; v < (b >> 5); ++v) p->Vars.push_back({"V" + std::to_string(v), "", 1 + v % 3, v % 2});
    if (!ds.AddProject(*p)) std::abort();
    const int kind = b & 3;
    if (mode == 1 || mode == 3) {
      if (kind == 0) {
        t.Lines.push_back("OP=I&SID=" + p->SID + "\r\n");
        t.Projects.push_back(p.get());
        t.Lines.push_back("OP=E&SID=" + p->SID + "\r\nNTRG");
      } else {
        t.Lines.push_back("OP=RA&SID=" + p->SID + "\r\n" + p->StrMD5);
      }
    } else {
      t.Lines.push_back(std::string(mode == 2 ? "OP=W" : "OP=RA") + "&SID=" + p->SID + "\r\n");
    }
    t.Projects.push_back(p.get());
    p->NetState = kind == 0 ? ncsEnum : kind == 1 ? ncsStartRW : kind == 2 ? ncsRunning : ncsError;
    prjs.push_back(std::move(p));
  }
  t.Result.assign(reinterpret_cast<const char*>(data + 1 + count), size - 1 - count);
  t.Result.append(2, '\0');
  t.BinaryMode = mode == 0;
  t.HttpStatus = resultKind == 2 ? 503 : resultKind == 3 ? -12029 : 200;
  t.ServerCode = resultKind == 1 ? 8 : 0;
  if (mode == 2) ds.ProcessWriteResult(1000);
  else ds.ProcessReadResult(1000);
  if (!t.Lines.empty() || !t.Projects.empty() || t.IsBusy()) std::abort();  // reset for the next batch
  for (auto& p : prjs) {
    if (p->NetState < ncsIdle || p->NetState > ncsReLogin) std::abort();
    ds.RemoveProject(p->DispName);
  }
  if (ds.ProjectCount() != 0) std::abort();
  return 0;
}
