// Loading and saving the project list.
#include "common/config/cfg_file.h"

#ifdef _WIN32
#include <windows.h>

#include "common/platform/win_text.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "common/helpers/message_boxes.h"
#include "common/platform/paths.h"
#include "common/settings/sys_config.h"

TOpcCfgFile::~TOpcCfgFile() = default;

void TOpcCfgFile::Serialize(CNxObjAr& ar) {
  if (ar.IsStoring()) {
    TIndexedName node;
    for (size_t i = 0; i < Prjs.size(); ++i) SerializeChild(ar, node.Of("PRJ", i), *Prjs[i]);
    ar.WriteInt("Count", int32_t(Prjs.size()));
    return;
  }
  int32_t n = ar.ReadInt("Count", 0);
  if (n < 0) n = 0;
  RetryList.clear();
  ReLoginList.clear();
  Prjs.clear();
  // Projects missing from the file stay at their defaults, as many as the count says;
  // the count is trusted only as far as the archive's own size makes it plausible.
  Prjs.reserve(size_t(n < 4096 ? n : 4096));
  TIndexedName node;
  for (int32_t i = 0; i < n; ++i) {
    const std::string_view name = node.Of("PRJ", uint64_t(i));
    if (i >= 65536 && !ar.HasNode(name)) break;
    std::unique_ptr<TOpcPrj> p = NewPrj();
    p->Owner = this;
    SerializeChild(ar, name, *p);
    Prjs.push_back(std::move(p));
  }
}

namespace {
// A save writes "<file>.new<pid>" beside the file and renames it into place.
constexpr const char* kSaveMarker = ".new";
}  // namespace

bool TOpcCfgFile::LoadPrjFile(const std::string& path) {
  RemoveStaleTemporaries(path, kSaveMarker);
  std::unique_ptr<CNxObjAr> a = OpenArchiveForRead(path, ObjArFormat::Auto);
  if (!a) return false;
  LoadedFromXML = a->FormatName() == "XML";
  Serialize(*a);
  a->Close();
  return true;
}

ObjArFormat TOpcCfgFile::SaveFormat() const {
  size_t vars = 0;
  for (const auto& p : Prjs) vars += p->Vars.size();
  if (TSysOP.ForceXML == 0 && (vars > 2000 || Prjs.size() > 20)) return ObjArFormat::BIN;
  return ObjArFormat::XML;
}

namespace {
#ifdef _WIN32
bool SyncFile(const std::string& path) {
  HANDLE h = CreateFileW(WideText(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h);
  return CloseHandle(h) && ok;
}
int ProcessId() { return int(GetCurrentProcessId()); }
#else
bool SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}
int ProcessId() { return int(::getpid()); }
#endif
}  // namespace

bool TOpcCfgFile::SavePrjFileAs(const std::string& path, ObjArFormat format, std::string& error) {
  // The old file stays untouched until the new one is complete on disk.
  RemoveStaleTemporaries(path, kSaveMarker);
  const std::string tmp = path + kSaveMarker + std::to_string(ProcessId());
  DeleteFileAt(tmp);
  bool written = false;
  try {
    std::unique_ptr<CNxObjAr> a = CreateArchiveForWrite(tmp, format);
    if (a) {
      bool serialized = false;
      try {
        Serialize(*a);
        serialized = true;
      } catch (...) {
      }
      if (serialized) {
        try {
          written = a->Close();
        } catch (...) {
        }
      }
    }
  } catch (...) {
  }
  if (!written || !FileExists(tmp) || !SyncFile(tmp)) {
    DeleteFileAt(tmp);
    error = "保存文件错误: " + path;
    return false;
  }
  if (!RenameFileOver(tmp, path)) {
    DeleteFileAt(tmp);
    error = "无法保存文件: " + path;
    return false;
  }
  return true;
}

void TOpcCfgFile::SavePrjFile(const std::string& path) {
  std::string error;
  if (!SavePrjFileAs(path, SaveFormat(), error)) ErrorBox(error);
}

int TOpcCfgFile::FindPrj(std::string_view name) const {
  for (size_t i = 0; i < Prjs.size(); ++i)
    if (Prjs[i]->Name == name) return int(i);
  return -1;
}
