// Shared part of the archive fuzz targets: whatever an opened archive holds is read the
// way the programs read ZelOpc.Dat, written again in the same format, read back, and the
// two readings must agree (decode, re-encode, decode, compare). The archive is also
// poked with the caller errors the reader must refuse without moving.
#pragma once
#include <cstdlib>
#include <memory>
#include <string>

#include "common/archive/obj_archive.h"
#include "common/config/cfg_file.h"
#include "common/config/opc_prj.h"
#include "common/platform/text.h"

class TFuzzCfg : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

// The reads the formats answer from other kinds than text, and the refused calls.
inline void ProbeArchive(CNxObjAr& ar) {
  (void)ar.ReadFloat("Count", 1.5);
  (void)ar.ReadDateTime("Count", 2.0);
  (void)ar.ReadInt("Name", 7);
  if (ar.LeaveNode()) std::abort();  // at the root
  if (ar.EnterNode("no such node \xE6\xB5\x8B")) std::abort();
  ar.WriteInt("Count", 1);  // a write on a loading archive is ignored
  if (ar.HasNode("PRJ0") && ar.EnterNode("PRJ0")) {
    (void)ar.ReadFloat("WriteOpt", 0);
    (void)ar.ReadDateTime("Name", 0);
    if (!ar.LeaveNode()) std::abort();
    if (ar.LeaveNode()) std::abort();
  }
}

// The persisted content of one project, in a form that compares as a whole.
inline std::string PersistedText(const TOpcPrj& p) {
  // A password reaches the file only through the scrambling, which keeps 16 units.
  const std::string pass = p.NoSavePass ? std::string() : Utf16ToUtf8(Utf8ToUtf16(p.Password).substr(0, 16));
  std::string s = p.Name + '\x1F' + std::to_string(p.NoSavePass) + '\x1F' + pass + '\x1F' + p.DispName + '\x1F' +
                  p.CustServer + '\x1F' + std::to_string(p.Server_RefreshDelayMS) + '\x1F' +
                  std::to_string(p.WriteOpt) + '\x1F' + p.DevName + '\x1F' + p.StrMD5 + '\x1F' +
                  std::to_string(p.UseGroup) + '\x1F' + std::to_string(p.Vars.size());
  for (const TOpcCfgVar& v : p.Vars)
    s += '\x1E' + v.Name + '\x1F' + v.Group + '\x1F' + std::to_string(v.Type) + '\x1F' + std::to_string(v.RW);
  return s;
}

// Stores cfg in the format and reads it back into `back`; aborts when that fails.
inline void StoreAndLoad(const TOpcCfgFile& cfgIn, ObjArFormat format, TFuzzCfg& back) {
  TOpcCfgFile& cfg = const_cast<TOpcCfgFile&>(cfgIn);  // Serialize is not const; storing reads only
  TNxMemStream stream;
  std::unique_ptr<CNxObjAr> w = CreateArchiveForWrite(stream.Designation(), format);
  if (!w) std::abort();
  cfg.Serialize(*w);
  if (!w->Close()) std::abort();
  stream.Seek(0);
  std::unique_ptr<CNxObjAr> r = OpenArchiveForRead(stream.Designation(), ObjArFormat::Auto);
  if (!r) std::abort();  // what we wrote ourselves must open
  back.Serialize(*r);
  r->Close();
}

inline void CheckRoundTrip(CNxObjAr& opened, ObjArFormat format) {
  // A forged project count makes the loader build that many default projects (up to
  // 65536); that costs time, not coverage, so such inputs are only probed.
  if (opened.ReadInt("Count", 0) > 1000) {
    ProbeArchive(opened);
    return;
  }
  TFuzzCfg first;
  first.Serialize(opened);
  ProbeArchive(opened);
  opened.Close();
  TFuzzCfg second;
  StoreAndLoad(first, format, second);
  if (second.Prjs.size() != first.Prjs.size()) std::abort();
  for (size_t i = 0; i < first.Prjs.size(); ++i)
    if (PersistedText(*first.Prjs[i]) != PersistedText(*second.Prjs[i])) std::abort();
}
