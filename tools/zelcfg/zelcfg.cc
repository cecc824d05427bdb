// zelcfg: looks into a project archive (ZelOpc.Dat) of any format and converts between
// the formats.
//
//   zelcfg show FILE [--passwords]
//   zelcfg convert IN OUT --format bin|binz|xml
//
// `show` prints the persisted content: the format, then per project its fields and its
// variables, one variable per line. Texts are quoted, with control characters, quotes
// and backslashes escaped, so every field stays on its line and an empty text is seen.
// Passwords are shown only with --passwords (the file is often passed around).
// `convert` loads IN through the same code as the programs and writes OUT through the
// same save path (written beside OUT, renamed over it when complete).
// Exit codes: 0 done, 1 the file could not be read or written, 2 wrong command line.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/archive/obj_archive.h"
#include "common/archive/xml_engine.h"
#include "common/config/cfg_file.h"
#include "common/config/opc_prj.h"
#include "common/helpers/program_info.h"
#include "common/helpers/strings.h"
#include "common/platform/text.h"
#include "server/modbus/modbus_export.h"

namespace {

// The tool needs no behaviour of either program's project class, only what is persisted.
class TToolCfgFile : public TOpcCfgFile {
 public:
  std::unique_ptr<TOpcPrj> NewPrj() override { return std::make_unique<TOpcPrj>(); }
};

const char kHelp[] =
    "Usage: zelcfg show FILE [--passwords]\n"
    "  or:  zelcfg convert IN OUT --format bin|binz|xml\n"
    "  or:  zelcfg modbus-export FILE OUT.htm|OUT.csv\n"
    "Prints a project archive (ZelOpc.Dat) as text, converts between its formats and\n"
    "exports its Modbus address table.\n"
    "FILE, IN: a project archive in the BIN, BINZ or XML format.\n"
    "  show          the format, the projects with their fields and one line per variable\n"
    "  --passwords   show passwords too\n"
    "  convert       writes OUT in the given format, replacing it only once complete\n"
    "  modbus-export the Modbus address table as HTML or CSV (by OUT's extension)\n"
    "  --help        this text\n"
    "  --version     the program's version\n"
    "Exit codes: 0 done, 1 the input could not be read or the output not written,\n"
    "2 wrong command line.\n";

void Usage() { std::fputs(kHelp, stderr); }

std::string Quoted(std::string_view s) { return "\"" + EscapeControls(s, true) + "\""; }

const char* TypeWord(int32_t type) {
  switch (type) {
    case 1: return "discrete";
    case 2: return "integer";
    case 3: return "analog";
    case 4: return "double";
    case 5: return "text";
    default: return "unknown";
  }
}

const char* WriteOptWord(int32_t opt) {
  switch (opt) {
    case 0: return "merge all writes";
    case 1: return "merge identical writes";
    case 2: return "no merging";
    default: return "unknown";
  }
}

// Loads through the programs' own load path; the format name of the file on success.
bool Load(const std::string& path, TToolCfgFile& cfg, std::string& format) {
  std::unique_ptr<CNxObjAr> a = OpenArchiveForRead(path, ObjArFormat::Auto);
  if (!a) return false;
  format = a->FormatName();
  cfg.LoadedFromXML = format == "XML";
  cfg.Serialize(*a);
  a->Close();
  return true;
}

// The message of an archive that could not be loaded, with the reason when the XML engine
// cannot work on this system.
void NotReadable(const std::string& path) {
  std::fprintf(stderr, "zelcfg: %s is not a readable project archive\n", path.c_str());
  const std::string problem = XmlEngineProblem();
  if (!problem.empty()) std::fprintf(stderr, "zelcfg: %s\n", problem.c_str());
}

size_t VarCount(const TOpcCfgFile& cfg) {
  size_t n = 0;
  for (const auto& p : cfg.Prjs) n += p->Vars.size();
  return n;
}

std::string ShowText(const TOpcCfgFile& cfg, const std::string& path, const std::string& format, bool passwords) {
  std::string o;
  o += "File: " + path + "\n";
  o += "Format: " + format + "\n";
  o += "Projects: " + std::to_string(cfg.Prjs.size()) + "\n";
  o += "Variables: " + std::to_string(VarCount(cfg)) + "\n";
  for (size_t i = 0; i < cfg.Prjs.size(); ++i) {
    const TOpcPrj& p = *cfg.Prjs[i];
    o += "\nPRJ" + std::to_string(i) + "\n";
    o += "  Name: " + Quoted(p.Name) + "\n";
    o += "  DispName: " + Quoted(p.DispName) + "\n";
    o += "  NoSavePass: " + std::to_string(p.NoSavePass) + "\n";
    if (p.NoSavePass != 0)
      o += "  Password: (not saved)\n";
    else if (passwords)
      o += "  Password: " + Quoted(p.Password) + "\n";
    else
      o += "  Password: (" + std::to_string(Utf16Length(p.Password)) + " characters, --passwords shows it)\n";
    o += "  CustServer: " + Quoted(p.CustServer) + "\n";
    o += "  Server_RefreshDelayMS: " + std::to_string(p.Server_RefreshDelayMS) + "\n";
    o += "  WriteOpt: " + std::to_string(p.WriteOpt) + " (" + WriteOptWord(p.WriteOpt) + ")\n";
    o += "  DevName: " + Quoted(p.DevName) + "\n";
    o += "  StrMD5: " + Quoted(p.StrMD5) + "\n";
    o += "  UseGroup: " + std::to_string(p.UseGroup) + "\n";
    o += "  Variables: " + std::to_string(p.Vars.size()) + "\n";
    for (size_t k = 0; k < p.Vars.size(); ++k) {
      const TOpcCfgVar& v = p.Vars[k];
      o += "    V" + std::to_string(k) + " Name=" + Quoted(v.Name) + " Type=" + std::to_string(v.Type) + " (" +
           TypeWord(v.Type) + ") RW=" + std::to_string(v.RW) + (v.RW == 1 ? " (read-only)" : " (read-write)") +
           " Group=" + Quoted(v.Group) + "\n";
    }
  }
  return o;
}

bool ParseFormat(std::string_view s, ObjArFormat& f) {
  std::string l = LowerCase(s);
  if (l == "bin") f = ObjArFormat::BIN;
  else if (l == "binz") f = ObjArFormat::BINZ;
  else if (l == "xml") f = ObjArFormat::XML;
  else return false;
  return true;
}

int Show(const std::vector<std::string>& args) {
  std::string path;
  bool passwords = false;
  for (const std::string& a : args) {
    if (a == "--passwords") passwords = true;
    else if (path.empty() && (a.empty() || a[0] != '-')) path = a;
    else return Usage(), 2;
  }
  if (path.empty()) return Usage(), 2;
  TToolCfgFile cfg;
  std::string format;
  if (!Load(path, cfg, format)) {
    NotReadable(path);
    return 1;
  }
  std::string text = ShowText(cfg, path, format, passwords);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int Convert(const std::vector<std::string>& args) {
  std::vector<std::string> files;
  std::string formatText;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--format" && i + 1 < args.size()) formatText = args[++i];
    else if (args[i].rfind("--format=", 0) == 0) formatText = args[i].substr(9);
    else if (!args[i].empty() && args[i][0] != '-') files.push_back(args[i]);
    else return Usage(), 2;
  }
  ObjArFormat format;
  if (files.size() != 2 || !ParseFormat(formatText, format)) return Usage(), 2;
  TToolCfgFile cfg;
  std::string inFormat;
  if (!Load(files[0], cfg, inFormat)) {
    NotReadable(files[0]);
    return 1;
  }
  std::string error;
  if (!cfg.SavePrjFileAs(files[1], format, error)) {
    std::fprintf(stderr, "zelcfg: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s (%s, %zu projects, %zu variables) -> %s (%s)\n", files[0].c_str(), inFormat.c_str(),
              cfg.Prjs.size(), VarCount(cfg), files[1].c_str(), UpperCase(formatText).c_str());
  return 0;
}

// The Modbus address table of an archive, as the server's Modbus window exports it. Device
// names come only from logins, so every heading shows the device as not connected.
int ModbusExport(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0].empty() || args[0][0] == '-' || args[1].empty() || args[1][0] == '-')
    return Usage(), 2;
  TToolCfgFile cfg;
  std::string format;
  if (!Load(args[0], cfg, format)) {
    NotReadable(args[0]);
    return 1;
  }
  std::vector<const TOpcPrj*> prjs;
  for (const auto& p : cfg.Prjs) prjs.push_back(p.get());
  if (!ExportModbusTable(args[1], prjs)) {
    std::fprintf(stderr, "zelcfg: cannot write %s\n", args[1].c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv, "zelcfg", kHelp)) return 0;
  if (argc < 2) return Usage(), 2;
  std::string cmd = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (cmd == "show") return Show(args);
    if (cmd == "convert") return Convert(args);
    if (cmd == "modbus-export") return ModbusExport(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelcfg: %s\n", e.what());
    return 1;
  }
  Usage();
  return 2;
}
