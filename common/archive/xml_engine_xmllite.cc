// The XML engine of the Windows build: XmlLite parses, the text is written here. mingw-w64
// has XmlLite's header but no import library, and a system without the DLL must still run
// everything but reading XML: xmllite.dll is loaded at run time, from the system folder
// only, the first time it is needed.
#include "common/archive/xml_engine_xmllite.h"

#include <windows.h>
#include <xmllite.h>

#include <cstring>
#include <string>

#include "com/com_ptr.h"
#include "common/platform/win_text.h"

using zelcom::ComPtr;

namespace {

struct TXmlLiteApi {
  HRESULT(WINAPI* CreateReader)(REFIID, void**, IMalloc*) = nullptr;
  HRESULT(WINAPI* CreateReaderInput)(IUnknown*, IMalloc*, LPCWSTR, BOOL, LPCWSTR, IXmlReaderInput**) = nullptr;
  bool Ok() const { return CreateReader && CreateReaderInput; }
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
    }
    return a;
  }();
  return api;
}

// The bytes XmlLite reads. The stream lives on the caller's stack and outlives every
// reader given it, so the count only has to be answered.
class TByteStream final : public ISequentialStream {
 public:
  TByteStream(const char* data, size_t size) : in_(data), left_(size) {}
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
  // The end shows as fewer bytes than asked for. A reader that keeps asking after the end
  // (Wine's does, in a document left open) gets a read error, so parsing ends.
  HRESULT STDMETHODCALLTYPE Read(void* to, ULONG want, ULONG* got) override {
    const size_t n = want < left_ ? want : left_;
    if (n) std::memcpy(to, in_, n);
    in_ += n;
    left_ -= n;
    if (got) *got = ULONG(n);
    if (n == want) return S_OK;
    if (n == 0 && ++readsAtEnd_ > kReadsAtEnd) return STG_E_READFAULT;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }

 private:
  static constexpr int kReadsAtEnd = 16;
  const char* in_;
  size_t left_;
  int readsAtEnd_ = 0;
};

constexpr const char* kMissing = "xmllite.dll is not available";
constexpr int kTextRunLimit = 4096;

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

// The archive's own file form is read as UTF-8 made by the programs' converter: a lone
// surrogate becomes U+FFFD as on Linux (XmlLite would refuse the file), and Wine's XmlLite
// loses its way in UTF-16 input longer than its first buffer.
bool TXmlDocument::Parse(const char* data, size_t size) {
  TObsBytes text;
  if (ObsUtf16LeToUtf8(data, size, text, false)) return Read(text.Data(), text.Size(), true);
  return Read(data, size, false);
}
bool TXmlDocument::ParseUtf8(const char* text, size_t size) { return Read(text, size, true); }

bool TXmlDocument::ParseFile(const std::string& path) {
  Reset();
  TObsBlock raw;
  size_t size = 0;
  return ObsReadWholeFile(path, raw, size) && Parse(raw.Data(), size);
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
    // Text comes as one node between two tags: a reader that gives text node after text
    // node without end (Wine's does, at the end of a document left open) has failed.
    int textRun = 0;
    while ((hr = reader->Read(&type)) == S_OK) {
      const bool text = type == XmlNodeType_Whitespace || type == XmlNodeType_Text || type == XmlNodeType_CDATA;
      textRun = text ? textRun + 1 : 0;
      if (textRun > kTextRunLimit) return Reset(), false;
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
void Put(TObsBytes& out, std::string_view text) {
  if (!text.empty()) std::memcpy(out.Grow(text.size()), text.data(), text.size());
}

// An attribute value as the Linux build writes it: the markup characters as entities,
// control characters as two-digit decimal references, everything else as it is.
void PutEscaped(TObsBytes& out, std::string_view value) {
  size_t plain = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '"' ? "&quot;" : nullptr;
    if (!entity && c >= 0x20) continue;
    Put(out, value.substr(plain, i - plain));
    plain = i + 1;
    if (entity) {
      Put(out, entity);
    } else {
      const char ref[] = {'&', '#', char('0' + c / 10), char('0' + c % 10), ';'};
      Put(out, std::string_view(ref, sizeof ref));
    }
  }
  Put(out, value.substr(plain));
}
}  // namespace

// The text is made here, not by XmlLite's writer: Wine's leaves quotes in attribute values
// unescaped (a file no reader takes), and Windows' own differs from the Linux build in its
// escapes. So both builds write the same bytes for the same tree: the declaration of a
// UTF-16 file on its own line, then one element per line, indented by a tab per level; an
// element without children closes itself ("<a x=\"1\" />", in the raw form "<a/>").
void TXmlDocument::Emit(TObsBytes& out, bool indented) const {
  if (!root_) return;
  if (indented) Put(out, "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n");
  const auto indent = [&](size_t depth) {
    if (indented && depth) std::memset(out.Grow(depth), '\t', depth);
  };
  const std::string_view lineEnd = indented ? "\n" : "";
  // Depth first without recursion: open an element, go down to its first child, or close
  // it and go on with the next sibling of it or of the nearest ancestor that has one.
  const TXmlElement* e = root_;
  size_t depth = 0;
  while (e) {
    indent(depth);
    Put(out, "<");
    Put(out, e->Name);
    for (const auto& [n, v] : e->Attrs) {
      Put(out, " ");
      Put(out, n);
      Put(out, "=\"");
      PutEscaped(out, v);
      Put(out, "\"");
    }
    if (e->First) {
      Put(out, ">");
      Put(out, lineEnd);
      e = e->First;
      ++depth;
      continue;
    }
    Put(out, indented ? " />" : "/>");
    Put(out, lineEnd);
    while (e != root_ && !e->Next) {
      e = e->Parent;
      --depth;
      indent(depth);
      Put(out, "</");
      Put(out, e->Name);
      Put(out, ">");
      Put(out, lineEnd);
    }
    e = e == root_ ? nullptr : e->Next;
  }
}

void TXmlDocument::Write(TObsBytes& out) const { Emit(out, true); }
void TXmlDocument::WriteRoot(TObsBytes& out) const { Emit(out, false); }
