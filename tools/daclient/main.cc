// ZelDaClient.exe: a command-line OPC DA 2.0 client for Windows. Lists the servers of
// the component category, browses, reads, writes, watches items through the group's
// data callback and shows the server status; plain UTF-8 output, one line per item,
// fields separated by tabs, and exit codes for scripts.
#include <windows.h>
#include <ole2.h>
#include <comcat.h>
#include <ocidl.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/daclient/da_session.h"
#include "tools/daclient/da_text.h"

namespace daclient {
namespace {

// Exit codes.
constexpr int kOk = 0;          // done; every item answered with good quality
constexpr int kFailed = 1;      // the server could not be reached or a call failed
constexpr int kUsage = 2;       // wrong command line
constexpr int kItemFailed = 3;  // an item was refused, failed or is not of good quality

constexpr wchar_t kDefaultServer[] = L"ZelOpcServer3.ZELOPC";
// The component category of OPC DA 2.0 servers.
constexpr CATID kCatidOpcDaServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

const char kHelp[] =
    "Usage: ZelDaClient [--server PROGID] COMMAND [ARGS]\n"
    "A command-line OPC DA 2.0 client.\n"
    "Commands:\n"
    "  list                      the OPC DA 2.0 servers of this computer: ProgID, description, class id\n"
    "  status                    the server's state, times, group count and version\n"
    "  browse [BRANCH]           the branches and items below BRANCH (the root by default)\n"
    "  read ITEM... [--wait S]   value, quality and time stamp of each item, read from the device;\n"
    "                            --wait repeats the read for up to S seconds until all are good\n"
    "  write ITEM VALUE          writes VALUE (numbers with '.', booleans true/false)\n"
    "  watch ITEM... [--rate MS] [--seconds S]\n"
    "                            subscribes at the group's rate (default 1000 ms) and prints every\n"
    "                            change for S seconds (default: until Ctrl+C)\n"
    "Options:\n"
    "  --server PROGID           the server by ProgID or {class id} (default ZelOpcServer3.ZELOPC)\n"
    "  --help                    this text\n"
    "Output: one line per item, fields separated by tabs: ITEM VALUE QUALITY TIME (UTC).\n"
    "Exit codes: 0 done, 1 the server could not be reached or a call failed, 2 wrong command\n"
    "line, 3 an item was refused, failed or is not of good quality.\n";

struct TArgs {
  std::wstring server = kDefaultServer;
  std::string command;
  std::vector<std::wstring> operands;
  DWORD rateMs = 1000;
  DWORD seconds = 0;
  DWORD waitSeconds = 0;
  bool help = false;
};

void Line(const std::string& text) {
  std::string l = text + "\n";
  std::fwrite(l.data(), 1, l.size(), stdout);
  std::fflush(stdout);  // a script reading the pipe sees each change when it happens
}

int Fail(int code, const std::string& text) {
  std::fprintf(stderr, "ZelDaClient: %s\n", text.c_str());
  return code;
}

bool ParseCount(const std::wstring& s, DWORD max, DWORD& out) {
  if (s.empty() || s.size() > 10) return false;
  unsigned long long v = 0;
  for (wchar_t c : s) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + static_cast<unsigned>(c - L'0');
  }
  if (v > max) return false;
  out = static_cast<DWORD>(v);
  return true;
}

// False with the reason in error for a wrong command line.
bool ParseArgs(const std::vector<std::wstring>& argv, TArgs& a, std::string& error) {
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::wstring& s = argv[i];
    auto value = [&](const char* name) -> const std::wstring* {
      if (i + 1 >= argv.size()) {
        error = std::string(name) + " needs a value";
        return nullptr;
      }
      return &argv[++i];
    };
    auto count = [&](const char* name, DWORD max, DWORD& out) {
      const std::wstring* v = value(name);
      if (!v) return false;
      if (!ParseCount(*v, max, out)) {
        error = std::string(name) + " takes a number from 0 to " + std::to_string(max) + ", not " + Narrow(v->c_str());
        return false;
      }
      return true;
    };
    if (s == L"--help" || s == L"-h" || s == L"/?") {
      a.help = true;
    } else if (s == L"--server") {
      const std::wstring* v = value("--server");
      if (!v) return false;
      a.server = *v;
    } else if (s == L"--rate") {
      if (!count("--rate", 3600000, a.rateMs)) return false;
    } else if (s == L"--seconds") {
      if (!count("--seconds", 86400 * 366, a.seconds)) return false;
    } else if (s == L"--wait") {
      if (!count("--wait", 3600, a.waitSeconds)) return false;
    } else if (s.size() > 1 && s[0] == L'-' && s[1] == L'-') {
      error = "unknown option " + Narrow(s.c_str());
      return false;
    } else if (a.command.empty()) {
      a.command = Narrow(s.c_str());
    } else {
      a.operands.push_back(s);
    }
  }
  if (a.help) return true;
  struct TShape {
    const char* name;
    size_t minOperands, maxOperands;
  };
  static const TShape kShapes[] = {{"list", 0, 0},          {"status", 0, 0}, {"browse", 0, 1},
                                   {"read", 1, SIZE_MAX},   {"write", 2, 2},  {"watch", 1, SIZE_MAX}};
  if (a.command.empty()) {
    error = "no command given";
    return false;
  }
  for (const TShape& shape : kShapes) {
    if (a.command != shape.name) continue;
    if (a.operands.size() < shape.minOperands || a.operands.size() > shape.maxOperands) {
      error = a.command + ": wrong number of arguments";
      return false;
    }
    return true;
  }
  error = "unknown command " + a.command;
  return false;
}

int List() {
  ComPtr<ICatInformation> cat;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                cat.ReceiveVoid());
  if (FAILED(hr)) return Fail(kFailed, "no component category manager: " + HresultText(hr));
  CATID catid = kCatidOpcDaServer20;
  ComPtr<IEnumGUID> classes;
  // (ULONG)-1: whatever categories the classes require.
  hr = cat->EnumClassesOfCategories(1, &catid, static_cast<ULONG>(-1), nullptr, classes.Receive());
  if (FAILED(hr)) return Fail(kFailed, "cannot list the OPC DA servers: " + HresultText(hr));
  int found = 0;
  CLSID clsid;
  ULONG fetched = 0;
  while (classes && classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
    LPOLESTR progId = nullptr, name = nullptr, text = nullptr;
    ProgIDFromCLSID(clsid, &progId);
    OleRegGetUserType(clsid, USERCLASSTYPE_FULL, &name);
    StringFromCLSID(clsid, &text);
    Line(Narrow(progId) + "\t" + Narrow(name) + "\t" + Narrow(text));
    CoTaskMemFree(progId);
    CoTaskMemFree(name);
    CoTaskMemFree(text);
    ++found;
  }
  if (found == 0) std::fprintf(stderr, "ZelDaClient: no OPC DA 2.0 server is registered\n");
  return kOk;
}

int Status(TDaSession& s) {
  OPCSERVERSTATUS* st = nullptr;
  HRESULT hr = s.Server()->GetStatus(&st);
  if (FAILED(hr) || !st) return Fail(kFailed, "GetStatus failed: " + s.ErrorText(hr));
  static const char* const kStates[] = {"?", "running", "failed", "no configuration", "suspended", "test"};
  const unsigned state = static_cast<unsigned>(st->dwServerState);
  Line(std::string("state\t") + (state < 6 ? kStates[state] : "?") + " (" + std::to_string(state) + ")");
  Line("start time\t" + TimeText(st->ftStartTime));
  Line("current time\t" + TimeText(st->ftCurrentTime));
  Line("last update\t" + TimeText(st->ftLastUpdateTime));
  Line("groups\t" + std::to_string(st->dwGroupCount));
  Line("bandwidth\t" + (st->dwBandWidth == 0xFFFFFFFF ? std::string("unknown") : std::to_string(st->dwBandWidth)));
  Line("version\t" + std::to_string(st->wMajorVersion) + "." + std::to_string(st->wMinorVersion) + "." +
       std::to_string(st->wBuildNumber));
  Line("vendor\t" + Narrow(st->szVendorInfo));
  CoTaskMemFree(st->szVendorInfo);
  CoTaskMemFree(st);
  return state == OPC_STATUS_RUNNING ? kOk : kItemFailed;
}

// The names of one browse level; false when the server refused.
HRESULT BrowseNames(IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, std::vector<std::wstring>& out) {
  ComPtr<IEnumString> e;
  HRESULT hr = b->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Receive());
  if (FAILED(hr)) return hr;
  LPOLESTR s = nullptr;
  ULONG n = 0;
  while (e && e->Next(1, &s, &n) == S_OK && n == 1) {
    out.emplace_back(s ? s : L"");
    CoTaskMemFree(s);
    s = nullptr;
  }
  return S_OK;
}

int Browse(TDaSession& s, const TArgs& a) {
  ComPtr<IOPCBrowseServerAddressSpace> b;
  HRESULT hr = s.ServerPtr().As(IID_IOPCBrowseServerAddressSpace, &b);
  if (FAILED(hr)) return Fail(kFailed, "the server cannot browse: " + HresultText(hr));
  OPCNAMESPACETYPE org = OPC_NS_HIERARCHIAL;
  b->QueryOrganization(&org);
  std::vector<std::wstring> branches, leaves;
  if (org == OPC_NS_FLAT) {
    if (!a.operands.empty()) return Fail(kUsage, "the server's address space is flat: no branches");
    if (FAILED(hr = BrowseNames(b.Get(), OPC_FLAT, leaves))) return Fail(kFailed, "browse failed: " + s.ErrorText(hr));
  } else {
    if (!a.operands.empty() && FAILED(hr = b->ChangeBrowsePosition(OPC_BROWSE_TO, a.operands[0].c_str())))
      return Fail(kItemFailed, "no branch " + Narrow(a.operands[0].c_str()) + ": " + s.ErrorText(hr));
    if (FAILED(hr = BrowseNames(b.Get(), OPC_BRANCH, branches)) || FAILED(hr = BrowseNames(b.Get(), OPC_LEAF, leaves)))
      return Fail(kFailed, "browse failed: " + s.ErrorText(hr));
  }
  // Full item ids, which read/write/watch and browse take. A server may give a branch's
  // bare name back: then it is joined to the branch browsed with '.', the usual separator.
  const std::string at = a.operands.empty() ? std::string() : Narrow(a.operands[0].c_str());
  auto full = [&](std::wstring name, bool branch) {
    if (org == OPC_NS_FLAT) return Narrow(name.c_str());
    LPWSTR id = nullptr;
    std::string out;
    const std::string bare = Narrow(name.c_str());
    if (SUCCEEDED(b->GetItemID(name.data(), &id)) && id) out = Narrow(id);
    if (out.empty() || (branch && out == bare && !at.empty())) out = (branch && !at.empty() ? at + "." : "") + bare;
    CoTaskMemFree(id);
    return out;
  };
  for (const std::wstring& n : branches) Line("branch\t" + full(n, true));
  for (const std::wstring& n : leaves) Line("item\t" + full(n, false));
  return kOk;
}

// Prints the items the server refused; true when there were any.
bool ReportRefused(const TDaSession& s, const TItemGroup& g) {
  bool any = false;
  for (size_t i = 0; i < g.ids.size(); ++i) {
    if (g.handles[i] != 0) continue;
    Line(Narrow(g.ids[i].c_str()) + "\terror " + s.ErrorText(g.errors[i]));
    any = true;
  }
  return any;
}

int Read(TDaSession& s, const TArgs& a) {
  TItemGroup g;
  std::string error;
  if (FAILED(s.AddGroup(a.operands, false, 0, g, error))) return Fail(kFailed, error);
  ComPtr<IOPCSyncIO> io;
  HRESULT hr = g.group.As(IID_IOPCSyncIO, &io);
  if (FAILED(hr)) return Fail(kFailed, "the group has no IOPCSyncIO: " + HresultText(hr));
  std::vector<OPCHANDLE> handles;
  std::vector<size_t> index;  // handles[k] is the item ids[index[k]]
  for (size_t i = 0; i < g.ids.size(); ++i)
    if (g.handles[i] != 0) handles.push_back(g.handles[i]), index.push_back(i);
  int code = ReportRefused(s, g) ? kItemFailed : kOk;
  if (handles.empty()) return code;
  const ULONGLONG until = GetTickCount64() + a.waitSeconds * 1000ULL;
  for (;;) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    hr = io->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
    if (FAILED(hr)) return Fail(kFailed, "Read failed: " + s.ErrorText(hr));
    std::vector<std::string> lines;
    bool allGood = true;
    for (size_t k = 0; k < handles.size(); ++k) {
      const std::string id = Narrow(g.ids[index[k]].c_str());
      const HRESULT e = errors ? errors[k] : S_OK;
      if (FAILED(e) || !states) {
        lines.push_back(id + "\terror " + s.ErrorText(e));
        allGood = false;
      } else {
        const OPCITEMSTATE& st = states[k];
        lines.push_back(id + "\t" + ValueText(st.vDataValue) + "\t" + QualityText(st.wQuality) + "\t" +
                        TimeText(st.ftTimeStamp));
        allGood = allGood && (st.wQuality & 0xC0) == 0xC0;
      }
      if (states) VariantClear(&states[k].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    if (allGood || GetTickCount64() >= until) {
      for (const std::string& l : lines) Line(l);
      return allGood ? code : kItemFailed;
    }
    Sleep(500);
  }
}

int Write(TDaSession& s, const TArgs& a) {
  TItemGroup g;
  std::string error;
  if (FAILED(s.AddGroup({a.operands[0]}, false, 0, g, error))) return Fail(kFailed, error);
  if (ReportRefused(s, g)) return kItemFailed;
  const std::string id = Narrow(a.operands[0].c_str());
  VARIANT v;
  HRESULT hr = ParseValue(Narrow(a.operands[1].c_str()), g.types[0], &v);
  if (FAILED(hr)) {
    Line(id + "\terror " + HresultText(hr) + " (\"" + Narrow(a.operands[1].c_str()) + "\" is no value of type " +
         std::to_string(g.types[0]) + ")");
    return kItemFailed;
  }
  ComPtr<IOPCSyncIO> io;
  if (FAILED(hr = g.group.As(IID_IOPCSyncIO, &io))) {
    VariantClear(&v);
    return Fail(kFailed, "the group has no IOPCSyncIO: " + HresultText(hr));
  }
  HRESULT* errors = nullptr;
  hr = io->Write(1, &g.handles[0], &v, &errors);
  VariantClear(&v);
  const HRESULT itemError = errors ? errors[0] : hr;
  CoTaskMemFree(errors);
  if (FAILED(hr) && !errors) return Fail(kFailed, "Write failed: " + s.ErrorText(hr));
  if (FAILED(itemError)) {
    Line(id + "\terror " + s.ErrorText(itemError));
    return kItemFailed;
  }
  Line(id + "\twritten");
  return kOk;
}

// The sink of the group's data changes and of the server's shutdown request. Runs on
// the main (single-threaded apartment) thread while it waits for messages.
class TSink final : public IOPCDataCallback, public IOPCShutdown {
 public:
  explicit TSink(std::vector<std::wstring> ids) : ids_(std::move(ids)) {}
  bool ShutdownRequested() const { return shutdown_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback))
      *ppv = static_cast<IOPCDataCallback*>(this);
    else if (IsEqualIID(riid, IID_IOPCShutdown))
      *ppv = static_cast<IOPCShutdown*>(this);
    else
      return *ppv = nullptr, E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients,
                                         VARIANT* values, WORD* qualities, FILETIME* times,
                                         HRESULT* errors) override {
    return Print(count, clients, values, qualities, times, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients,
                                           VARIANT* values, WORD* qualities, FILETIME* times,
                                           HRESULT* errors) override {
    return Print(count, clients, values, qualities, times, errors);
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
    shutdown_ = true;
    try {
      std::fprintf(stderr, "ZelDaClient: the server shuts down: %s\n", Narrow(reason).c_str());
    } catch (...) {
    }
    return S_OK;
  }

 private:
  ~TSink() = default;
  // The arrays come from another process: every client handle is checked.
  HRESULT Print(DWORD count, const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities,
                const FILETIME* times, const HRESULT* errors) {
    if (!clients || !values || !qualities || !times) return E_INVALIDARG;
    try {
      for (DWORD i = 0; i < count; ++i) {
        const OPCHANDLE h = clients[i];
        std::string id = "?";
        if (h >= 1 && h <= ids_.size())
          id = Narrow(ids_[h - 1].c_str());
        else
          id += std::to_string(h);
        if (errors && FAILED(errors[i]))
          Line(id + "\terror " + HresultText(errors[i]));
        else
          Line(id + "\t" + ValueText(values[i]) + "\t" + QualityText(qualities[i]) + "\t" + TimeText(times[i]));
      }
    } catch (...) {
      return E_OUTOFMEMORY;  // nothing crosses the COM boundary
    }
    return S_OK;
  }

  std::vector<std::wstring> ids_;
  std::atomic<ULONG> refs_{1};
  bool shutdown_ = false;
};

// Set by Ctrl+C / Ctrl+Break so that watch ends cleanly.
HANDLE StopEvent() {
  static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}
BOOL WINAPI OnConsoleCtrl(DWORD) {
  SetEvent(StopEvent());
  return TRUE;
}

// One advise on a connection point, undone when the holder goes.
class TAdvise {
 public:
  HRESULT Connect(IUnknown* source, REFIID iid, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> cpc;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, cpc.ReceiveVoid());
    if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(iid, point_.Receive());
    if (SUCCEEDED(hr)) hr = point_->Advise(sink, &cookie_);
    if (FAILED(hr)) point_.Reset();
    return hr;
  }
  ~TAdvise() {
    if (point_) point_->Unadvise(cookie_);
  }

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

int Watch(TDaSession& s, const TArgs& a) {
  TItemGroup g;
  std::string error;
  if (FAILED(s.AddGroup(a.operands, true, a.rateMs, g, error))) return Fail(kFailed, error);
  int code = ReportRefused(s, g) ? kItemFailed : kOk;
  bool any = false;
  for (OPCHANDLE h : g.handles) any = any || h != 0;
  if (!any) return code;
  if (g.revisedRate != a.rateMs)
    std::fprintf(stderr, "ZelDaClient: the server revised the rate to %lu ms\n", static_cast<unsigned long>(g.revisedRate));
  auto sink = ComPtr<TSink>::Adopt(new TSink(g.ids));
  TAdvise data, shutdown;
  HRESULT hr = data.Connect(g.group.Get(), IID_IOPCDataCallback, static_cast<IOPCDataCallback*>(sink.Get()));
  if (FAILED(hr)) return Fail(kFailed, "cannot subscribe to the group's data changes: " + s.ErrorText(hr));
  shutdown.Connect(s.Server(), IID_IOPCShutdown, static_cast<IOPCShutdown*>(sink.Get()));  // optional
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  // The callbacks arrive as window messages of this apartment: pump until the time is up.
  const ULONGLONG until = a.seconds ? GetTickCount64() + a.seconds * 1000ULL : 0;
  HANDLE stop = StopEvent();
  while (!sink->ShutdownRequested()) {
    DWORD wait = INFINITE;
    if (until) {
      const ULONGLONG now = GetTickCount64();
      if (now >= until) break;
      wait = static_cast<DWORD>(until - now);
    }
    const DWORD r = MsgWaitForMultipleObjects(1, &stop, FALSE, wait, QS_ALLINPUT);
    if (r != WAIT_OBJECT_0 + 1) break;  // stopped, timed out or failed
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  return sink->ShutdownRequested() ? kFailed : code;
}

int Run(const TArgs& a) {
  if (a.command == "list") return List();
  TDaSession s;
  std::string error;
  if (FAILED(s.Connect(a.server, error))) return Fail(kFailed, error);
  if (a.command == "status") return Status(s);
  if (a.command == "browse") return Browse(s, a);
  if (a.command == "read") return Read(s, a);
  if (a.command == "write") return Write(s, a);
  return Watch(s, a);
}

int Main() {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::wstring> argv;
  int argc = 0;
  if (LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 0; i < argc; ++i) argv.emplace_back(w[i]);
    LocalFree(w);
  }
  TArgs a;
  std::string error;
  if (!ParseArgs(argv, a, error)) {
    std::fprintf(stderr, "ZelDaClient: %s (ZelDaClient --help shows the usage)\n", error.c_str());
    return kUsage;
  }
  if (a.help) {
    std::fputs(kHelp, stdout);
    return kOk;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail(kFailed, "COM does not start: " + HresultText(hr));
  // No authentication asked of callers: the server calls back into this process (data
  // changes, shutdown) under whatever account it runs.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                       EOAC_NONE, nullptr);
  const int code = Run(a);
  CoUninitialize();
  return code;
}

}  // namespace
}  // namespace daclient

int main() {
  try {
    return daclient::Main();
  } catch (...) {
    std::fputs("ZelDaClient: out of memory\n", stderr);
    return 1;
  }
}
