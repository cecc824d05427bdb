// The XML engine on XmlLite. mingw-w64 has the header but no import library, and a system
// without the DLL must still run everything but XML: xmllite.dll is loaded at run time, from
// the system folder only, the first time it is needed.
#include "common/archive/xml_engine_xmllite.h"

#include <windows.h>
#include <xmllite.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "com/com_ptr.h"
#include "common/platform/win_text.h"

using zelcom::ComPtr;

namespace {

struct TXmlLiteApi {
  HRESULT(WINAPI* CreateReader)(REFIID, void**, IMalloc*) = nullptr;
  HRESULT(WINAPI* CreateReaderInput)(IUnknown*, IMalloc*, LPCWSTR, BOOL, LPCWSTR, IXmlReaderInput**) = nullptr;
  HRESULT(WINAPI* CreateWriter)(REFIID, void**, IMalloc*) = nullptr;
  HRESULT(WINAPI* CreateWriterOutput)(IUnknown*, IMalloc*, LPCWSTR, IXmlWriterOutput**) = nullptr;
  bool Ok() const { return CreateReader && CreateReaderInput && CreateWriter && CreateWriterOutput; }
};

template <class F>
void Resolve(HMODULE m, const char* name, F& f) {
  f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

// Loaded once (the initialisation of a local static is thread-safe) and kept for the life
// of the process: the functions are used from any archive at any time.
const TXmlLiteApi& Api() {
  static const TXmlLiteApi api = [] {
    TXmlLiteApi a;
    // By its full path in the system folder: never a planted copy from the current folder.
    wchar_t dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return a;
    const std::wstring path = std::wstring(dir, n) + L"\\xmllite.dll";
    if (HMODULE m = LoadLibraryW(path.c_str())) {
      Resolve(m, "CreateXmlReader", a.CreateReader);
      Resolve(m, "CreateXmlReaderInputWithEncodingName", a.CreateReaderInput);
      Resolve(m, "CreateXmlWriter", a.CreateWriter);
      Resolve(m, "CreateXmlWriterOutputWithEncodingName", a.CreateWriterOutput);
    }
    return a;
  }();
  return api;
}

// The byte source or sink XmlLite reads from or writes to. It lives on the caller's stack
// and outlives every reader or writer given it, so the count only has to be answered.
class TByteStream final : public ISequentialStream {
 public:
  TByteStream(const char* data, size_t size) : in_(data), left_(size) {}
  explicit TByteStream(TObsBytes& out) : out_(&out) {}
  TByteStream(const TByteStream&) = delete;
  TByteStream& operator=(const TByteStream&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream)) {
      *out = static_cast<ISequentialStream*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(void* to, ULONG want, ULONG* got) override {
    if (!in_) return STG_E_ACCESSDENIED;
    const size_t n = want < left_ ? want : left_;
    if (n) std::memcpy(to, in_, n);
    in_ += n;
    left_ -= n;
    if (got) *got = ULONG(n);
    return S_OK;
  }
  // No exception leaves here: a failed allocation is the writer's error result.
  HRESULT STDMETHODCALLTYPE Write(const void* from, ULONG n, ULONG* put) override {
    if (!out_) return STG_E_ACCESSDENIED;
    try {
      if (n) std::memcpy(out_->Grow(n), from, n);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    if (put) *put = n;
    return S_OK;
  }

 private:
  const char* in_ = nullptr;
  size_t left_ = 0;
  TObsBytes* out_ = nullptr;
};

constexpr const char* kMissing = "xmllite.dll is not available";

std::string Utf8Of(const WCHAR* p, UINT n) { return NarrowText(std::wstring_view(p, n)); }

}  // namespace

std::string XmlEngineProblem() { return Api().Ok() ? std::string() : std::string(kMissing); }

TXmlNode TXmlNode::Child(const char* name) const {
  for (TXmlElement* c = e_ ? e_->First : nullptr; c; c = c->Next)
    if (c->Name == name) return TXmlNode(c);
  return TXmlNode();
}

const char* TXmlNode::Attribute(const char* name) const {
  for (const auto& [n, v] : e_->Attrs)
    if (n == name) return v.c_str();
  return nullptr;
}

void TXmlNode::SetAttribute(const char* name, const char* value) {
  for (auto& [n, v] : e_->Attrs) {
    if (n == name) {
      v = value;
      return;
    }
  }
  e_->Attrs.emplace_back(name, value);
}

TXmlNode TXmlNode::AppendElement(const char* name) {
  TXmlElement& c = e_->Owner->emplace_back();
  c.Name = name;
  c.Parent = e_;
  c.Owner = e_->Owner;
  if (e_->Last) e_->Last->Next = &c;
  else e_->First = &c;
  e_->Last = &c;
  return TXmlNode(&c);
}

void TXmlDocument::Reset() {
  root_ = nullptr;
  elements_.clear();
}

TXmlNode TXmlDocument::NewStore(const char* rootName) {
  Reset();
  root_ = &elements_.emplace_back();
  root_->Name = rootName;
  root_->Owner = &elements_;
  return TXmlNode(root_);
}

bool TXmlDocument::Parse(const char* data, size_t size) { return Read(data, size, false); }
bool TXmlDocument::ParseUtf8(const char* text, size_t size) { return Read(text, size, true); }

bool TXmlDocument::ParseFile(const std::string& path) {
  Reset();
  TObsBlock raw;
  size_t size = 0;
  return ObsReadWholeFile(path, raw, size) && Read(raw.Data(), size, false);
}

// Builds the tree of elements and attributes; text, comments and processing instructions
// are passed over as the archive never reads them. A document type declaration is refused
// (its entities could expand without bound); the depth is not limited, as nothing here
// recurses over the tree.
bool TXmlDocument::Read(const char* data, size_t size, bool utf8) {
  Reset();
  const TXmlLiteApi& api = Api();
  if (!api.Ok()) return false;
  TByteStream stream(data, size);
  ComPtr<IXmlReaderInput> input;
  ComPtr<IXmlReader> reader;
  if (FAILED(api.CreateReader(__uuidof(IXmlReader), reader.ReceiveVoid(), nullptr))) return false;
  reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  reader->SetProperty(XmlReaderProperty_MaxElementDepth, 0);
  if (utf8) {  // the encoding is known: what the text declares does not count
    if (FAILED(api.CreateReaderInput(&stream, nullptr, L"utf-8", FALSE, nullptr, input.Receive()))) return false;
    if (FAILED(reader->SetInput(input.Get()))) return false;
  } else if (FAILED(reader->SetInput(&stream))) {
    return false;
  }
  try {
    TXmlNode cur;
    XmlNodeType type;
    HRESULT hr;
    while ((hr = reader->Read(&type)) == S_OK) {
      if (type == XmlNodeType_EndElement) {
        cur = cur.Parent();
        continue;
      }
      if (type != XmlNodeType_Element) continue;
      const WCHAR* p = nullptr;
      UINT n = 0;
      if (FAILED(reader->GetQualifiedName(&p, &n))) return Reset(), false;
      const std::string name = Utf8Of(p, n);
      TXmlNode e;
      if (cur) {
        e = cur.AppendElement(name.c_str());
      } else {
        if (root_) return Reset(), false;  // a second document element
        e = NewStore(name.c_str());
      }
      const bool empty = reader->IsEmptyElement();
      for (hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute()) {
        const WCHAR* v = nullptr;
        UINT vn = 0;
        if (FAILED(reader->GetQualifiedName(&p, &n)) || FAILED(reader->GetValue(&v, &vn))) return Reset(), false;
        e.SetAttribute(Utf8Of(p, n).c_str(), Utf8Of(v, vn).c_str());
      }
      if (FAILED(hr)) return Reset(), false;
      if (!empty) cur = e;
    }
    if (FAILED(hr) || cur) return Reset(), false;
  } catch (const std::exception&) {
    return Reset(), false;
  }
  return root_ != nullptr;
}

namespace {
void Check(HRESULT hr) {
  if (FAILED(hr)) {
    char text[64];
    std::snprintf(text, sizeof text, "cannot write the XML text (error 0x%08lX)", static_cast<unsigned long>(hr));
    throw std::runtime_error(text);
  }
}
}  // namespace

// The layout of the Linux build's writer: the declaration of a UTF-16 file on its own line,
// then one element per line, indented by a tab per level; an element without children
// closes itself. The declaration is written here, not by XmlLite, whose own names the
// encoding of its output (UTF-8, made into UTF-16 by the archive).
void TXmlDocument::Emit(TObsBytes& out, bool indented) const {
  const TXmlLiteApi& api = Api();
  if (!api.Ok()) throw std::runtime_error(std::string("cannot write the XML text: ") + kMissing);
  if (!root_) return;
  if (indented) {
    static constexpr std::string_view kDecl = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
    std::memcpy(out.Grow(kDecl.size()), kDecl.data(), kDecl.size());
  }
  TByteStream stream(out);
  ComPtr<IXmlWriterOutput> output;
  ComPtr<IXmlWriter> writer;
  Check(api.CreateWriter(__uuidof(IXmlWriter), writer.ReceiveVoid(), nullptr));
  Check(writer->SetProperty(XmlWriterProperty_OmitXmlDeclaration, TRUE));
  Check(writer->SetProperty(XmlWriterProperty_ByteOrderMark, FALSE));
  Check(api.CreateWriterOutput(&stream, nullptr, L"utf-8", output.Receive()));
  Check(writer->SetOutput(output.Get()));
  std::wstring tabs;
  const auto space = [&](size_t depth, bool newline) {
    if (!indented) return;
    tabs.assign(newline ? 1 : 0, L'\n');
    tabs.append(depth, L'\t');
    if (!tabs.empty()) Check(writer->WriteWhitespace(tabs.c_str()));
  };
  // Depth first without recursion: open an element, go down to its first child, or close
  // it and go on with the next sibling of it or of the nearest ancestor that has one.
  const TXmlElement* e = root_;
  size_t depth = 0;
  while (e) {
    space(depth, false);
    Check(writer->WriteStartElement(nullptr, WideText(e->Name).c_str(), nullptr));
    for (const auto& [n, v] : e->Attrs)
      Check(writer->WriteAttributeString(nullptr, WideText(n).c_str(), nullptr, WideText(v).c_str()));
    if (e->First) {
      space(0, true);
      e = e->First;
      ++depth;
      continue;
    }
    Check(writer->WriteEndElement());
    space(0, true);
    while (e != root_ && !e->Next) {
      e = e->Parent;
      --depth;
      space(depth, false);
      Check(writer->WriteFullEndElement());
      space(0, true);
    }
    e = e == root_ ? nullptr : e->Next;
  }
  Check(writer->Flush());
}

void TXmlDocument::Write(TObsBytes& out) const { Emit(out, true); }
void TXmlDocument::WriteRoot(TObsBytes& out) const { Emit(out, false); }
