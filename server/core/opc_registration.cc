#include "server/core/opc_registration.h"

#include <algorithm>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/guid_text.h"
#include "com/opc_da.h"
#include "common/helpers/file_helpers.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "server/namespace/nx_server.h"
#include "server/opcda/enumerators.h"
#include "server/opcda/type_library.h"

namespace {

// The proxy/stub class of OLE automation interfaces (dual and [oleautomation] ones).
constexpr const char* kAutomationProxyStub = "{00020424-0000-0000-C000-000000000046}";

template <class T, class... Args>
HRESULT CreateObject(REFIID riid, void** ppv, Args&&... args) {
  auto* object = new T(std::forward<Args>(args)...);  // one reference, ours
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT CreateServer(REFIID riid, void** ppv) {
  TNxBaseOPCServer* s = TNxBaseOPCServer::Create();
  HRESULT hr = s->Unknown()->QueryInterface(riid, ppv);
  s->Release();
  return hr;
}

// A group belongs to a server object and comes from its AddGroup; one made by the class
// factory would have no server and no address space, so the class gives none.
HRESULT CreateGroup(REFIID, void**) { return CLASS_E_CLASSNOTAVAILABLE; }

// Enumerators made by their class factories are empty lists.
HRESULT CreateUnknownEnumerator(REFIID riid, void** ppv) {
  return CreateObject<TS3UnknownEnumerator>(riid, ppv, std::vector<zelcom::ComPtr<IUnknown>>{});
}
HRESULT CreateItemAttEnumerator(REFIID riid, void** ppv) {
  return CreateObject<TOPCItemAttEnumerator>(riid, ppv, std::vector<TOPCItemAttributes>{});
}
HRESULT CreateStringsEnumerator(REFIID riid, void** ppv) {
  return CreateObject<TOPCStringsEnumerator>(riid, ppv, std::vector<std::string>{});
}

// A path as the registry holds it for other programs: '\\' on Windows (the program's
// own paths use '/'), unchanged elsewhere.
std::string SystemPathText(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

std::string VersionText() { return std::to_string(kTypeLibMajor) + "." + std::to_string(kTypeLibMinor); }

// Writes go through one object that stops at the first failure, as the platform's
// registration raises on a failed key and leaves what was written.
class TClassWriter {
 public:
  explicit TClassWriter(const TClassesRoot& where) : where_(where) {}
  void Write(const std::string& key, const std::string& name, const std::string& value) {
    if (ok_) ok_ = RegWriteString(where_.Root, where_.Prefix + key, name, value);
  }
  void Key(const std::string& key) {
    if (ok_) ok_ = RegCreateKey(where_.Root, where_.Prefix + key);
  }
  bool Ok() const { return ok_; }

 private:
  TClassesRoot where_;
  bool ok_ = true;
};

// The records that registering the type library writes: the library with its help text,
// its file and help folder, and each automation interface with the automation proxy/stub
// (IOPCGroup is not an automation interface and gets none).
void WriteTypeLibRecords(TClassWriter& w, const std::string& exePath) {
  const std::string lib = "TypeLib\\" + GuidToText(LIBID_ZelOpcServer3) + "\\" + VersionText();
  w.Write(lib, "", kTypeLibHelp);
  w.Write(lib + "\\" + Format("%x", static_cast<unsigned>(kTypeLibLcid)) + "\\" +
              (sizeof(void*) == 8 ? "win64" : "win32"),
          "", SystemPathText(exePath));
  w.Write(lib + "\\FLAGS", "", "0");
  w.Write(lib + "\\HELPDIR", "", SystemPathText(ExcludeTrailingSlash(ExtractFileDir(exePath))));
  const std::string itf = "Interface\\" + GuidToText(IID_IDA2);
  w.Write(itf, "", "IDA2");
  w.Write(itf + "\\ProxyStubClsid", "", kAutomationProxyStub);
  w.Write(itf + "\\ProxyStubClsid32", "", kAutomationProxyStub);
  w.Write(itf + "\\TypeLib", "", GuidToText(LIBID_ZelOpcServer3));
  w.Write(itf + "\\TypeLib", "Version", VersionText());
}

bool RegisterCategory() {
  // The COM library must be up for the category manager; the count is per call.
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool ok = false;
  {
    zelcom::ComPtr<ICatRegister> cat;
    if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICatRegister, cat.ReceiveVoid()))) {
      CATEGORYINFO info{};
      info.catid = CATID_OPCDAServer20;
      info.lcid = GetUserDefaultLCID();
      std::u16string text = Utf8ToUtf16(kOpcDa20CategoryText);
      // At most 127 characters: the field keeps its terminating zero.
      const size_t n = std::min<size_t>(text.size(), 127);
      for (size_t i = 0; i < n; ++i) info.szDescription[i] = static_cast<OLECHAR>(text[i]);
      CATID catid = CATID_OPCDAServer20;
      ok = SUCCEEDED(cat->RegisterCategories(1, &info)) &&
           SUCCEEDED(cat->RegisterClassImplCategories(CLSID_ZELOPC, 1, &catid));
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return ok;
}

}  // namespace

const std::vector<TComClassInfo>& OpcClasses() {
  static const std::vector<TComClassInfo> classes = {
      {&CLSID_ZELOPC, kServerClassName, kServerClassHelp, true, CreateServer},
      {&CLSID_OPCGroup, kGroupClassName, "", true, CreateGroup},
      {&IID_IEnumUnknown, "TS3UnknownEnumerator", "Unknown Enumerator", false, CreateUnknownEnumerator},
      {&IID_IEnumOPCItemAttributes, "TOPCItemAttEnumerator", "Item Attribute Enumerator", false,
       CreateItemAttEnumerator},
      {&IID_IEnumString, "TOPCStringsEnumerator", "String Enumerator", false, CreateStringsEnumerator},
  };
  return classes;
}

std::string ClassProgId(const TComClassInfo& c) { return std::string(kTypeLibName) + "." + c.ClassName; }

std::string LocalServerText(const std::string& exePath) {
  std::string path = SystemPathText(exePath);
#ifdef _WIN32
  if (path.find(' ') != std::string::npos) {
    const std::u16string u = Utf8ToUtf16(path);
    const std::wstring wide(u.begin(), u.end());
    static wchar_t buf[32768];
    DWORD n = GetShortPathNameW(wide.c_str(), buf, 32768);
    if (n > 0 && n < 32768) path = Utf16ToUtf8(std::u16string(buf, buf + n));
  }
#endif
  // No short form (Linux, or volumes without 8.3 names): quoted, as COM starts the text
  // as a command line.
  if (path.find(' ') != std::string::npos) path = "\"" + path + "\"";
  return path;
}

bool UpdateClassRegistry(const std::string& exePath, const TClassesRoot& where) {
  TClassWriter w(where);
  const std::string server = LocalServerText(exePath);
  for (const TComClassInfo& c : OpcClasses()) {
    const std::string key = "CLSID\\" + GuidToText(*c.ClassId);
    const std::string progId = ClassProgId(c);
    w.Write(key, "", c.Description);
    w.Write(key + "\\LocalServer32", "", server);
    w.Write(progId, "", c.Description);
    w.Write(progId + "\\Clsid", "", GuidToText(*c.ClassId));
    w.Write(key + "\\ProgID", "", progId);
    if (c.Typed) {
      w.Write(key + "\\Version", "", VersionText());
      w.Write(key + "\\TypeLib", "", GuidToText(LIBID_ZelOpcServer3));
    }
  }
  WriteTypeLibRecords(w, exePath);
  return w.Ok();
}

void RegisterOpcAt(const std::string& progId, const std::string& description, const std::string& exePath) {
  try {
    const std::string serverKey = "CLSID\\" + GuidToText(CLSID_ZELOPC);
    TClassWriter w(TClassesRoot::Machine());
    w.Write(progId, "", description);
    w.Write(progId + "\\CLSID", "", GuidToText(CLSID_ZELOPC));
    w.Write(progId + "\\OPC", "Vendor", "ZELOPC");
    w.Write(serverKey, "", description);
    w.Write(serverKey + "\\ProgID", "", progId);
    if (!w.Ok()) return;
    // OPC DA 2.0 only: clients browsing the 1.0 or 3.0 categories do not list us.
    if (!RegisterCategory()) return;
    // The class entries follow and leave the server class with its final description
    // and ProgID; progId stays a second name for the same class.
    UpdateClassRegistry(exePath, TClassesRoot::Machine());
  } catch (...) {
    // Registration problems show through the check of the start-up only.
  }
}

void RegisterOpc(const std::string& progId, const std::string& description) {
  RegisterOpcAt(progId, description, ExecutablePath());
}

void UnregisterOpc(const TClassesRoot& where) {
  const TRegRoot root = where.Root;
  const std::string& pre = where.Prefix;
  try {
    for (const TComClassInfo& c : OpcClasses()) {
      RegDeleteKey(root, pre + "CLSID\\" + GuidToText(*c.ClassId));
      RegDeleteKey(root, pre + ClassProgId(c));
    }
    RegDeleteKey(root, pre + "TypeLib\\" + GuidToText(LIBID_ZelOpcServer3));
    RegDeleteKey(root, pre + "Interface\\" + GuidToText(IID_IDA2));
    std::string clsid;
    if (RegReadString(root, pre + "ZELOPC\\CLSID", "", clsid) && TextToGuid(clsid) == CLSID_ZELOPC)
      RegDeleteKey(root, pre + "ZELOPC");
  } catch (...) {
  }
}

void ApplyRegistrationMode(TComStartMode mode) {
  const std::string exe = ExecutablePath();
  switch (mode) {
    case TComStartMode::RegServer:
      RegisterOpc("ZELOPC", "ZELOPC");
      break;
    case TComStartMode::RegServerPerUser:
      UpdateClassRegistry(exe, TClassesRoot::PerUser());
      break;
    case TComStartMode::UnregServer:
      UnregisterOpc(TClassesRoot::Machine());
      break;
    case TComStartMode::UnregServerPerUser:
      UnregisterOpc(TClassesRoot::PerUser());
      break;
    default:
      break;
  }
}

TOpcComServer::TOpcComServer(TComStartMode mode, std::function<void()> onLastRelease) {
  // The main thread's apartment; KillOPCServers leaves it at the program's end.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BeginComServer(mode, std::move(onLastRelease));
  objects_.Register(OpcClasses());
}

TOpcComServer::~TOpcComServer() {
  // No activation while the program winds down; the objects still alive go afterwards.
  objects_.Revoke();
  EndComServer();
}
