#include "server/modbus/modbus_export.h"

#include <algorithm>

#include "common/config/opc_prj.h"
#include "common/platform/paths.h"
#include "common/platform/text.h"
#include "server/modbus/register_map.h"

namespace {
constexpr const char* kNotConnected = "(未连接)";

const char* const kHtmlHead =
    "<!DOCTYPE html>\r\n"
    "<html>\r\n<head>\r\n<meta charset=\"UTF-8\">\r\n<title>ModbusTCP 变量地址表</title>\r\n"
    "<style type=\"text/css\">\r\n"
    "body.smain { font-family: Arial, Helvetica, sans-serif; background-color: #F0F0F0; }\r\n"
    "table { border-collapse: collapse; margin-left: auto; margin-right: auto; }\r\n"
    "td, th { text-align: center; border-color: #333; }\r\n"
    "ul { list-style-type: disc; }\r\n"
    "</style>\r\n</head>\r\n<body class=\"smain\">\r\n"
    "<b> 注意事项：</b>\r\n<ul>\r\n"
    "<li>ModbusTCP从机号码是1，只有可读写字（使用0x03功能码读，0x10功能码写），其他功能码不可用!</li>\r\n"
    "<li>寄存器地址都是从1起的（地址范围1-65536）。如果您需要从0起的地址，请把地址减1</li>\r\n"
    "<li>变量类型INT32是整数，占2个字的长度，其中低字在变量地址，高字在变量地址加1</li>\r\n"
    "<li>变量类型FLOAT32是32位浮点数，占2个字的长度，其中低字在变量地址，高字在变量地址加1</li>\r\n"
    "<li>变量类型BOOL32是32位整数，占2个字的长度，实际只有0和1</li>\r\n"
    "<li>对任何模块变量的读写，必须以２个字为单位，如果只读写其中１个字会出错！<br></li>\r\n"
    "<li>地址64000以上的是模块状态寄存器，可以按字读取，每个模块占用一个地址，0是正常，其他值是错误码。</li>\r\n"
    "</ul>\r\n<hr/>\r\n";

const char* const kHtmlTail =
    "<hr/><div><b>模块数量和每个模块中的变量数目限制如下</b><ul>\r\n"
    "<li>1-16个设备，每个设备限制2000变量</li>\r\n"
    "<li>17-32个设备，每个设备限制1000变量</li>\r\n"
    "<li>33-64个设备，每个设备限制500变量</li>\r\n"
    "<li>65-160个设备，每个设备限制200变量</li>\r\n"
    "<li>161-320个设备，每个设备限制100变量</li>\r\n"
    "<li>321-800个设备，每个设备限制40变量</li>\r\n"
    "</ul></div></body></html>\r\n";

std::string NameOr(const std::string& name) { return name.empty() ? kNotConnected : name; }

// Names come from devices and users: markup in them must stay text.
std::string Html(const std::string& s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '&': r += "&amp;"; break;
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '"': r += "&quot;"; break;
      default: r += c;
    }
  }
  return r;
}

// A field with a comma, quote or line break is quoted, so it cannot shift the columns;
// every other field stands as it is.
std::string Csv(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string r = "\"";
  for (char c : s) {
    if (c == '"') r += '"';
    r += c;
  }
  return r + "\"";
}

// Calls f(k, prj) for every mapped device and g(j, var) inside for its mapped variables.
template <class FDevice, class FVar, class FEnd>
void ForMapped(std::span<const TOpcPrj* const> prjs, FDevice device, FVar var, FEnd end) {
  const TModbusSlots slots = TModbusSlots::ForDevices(prjs.size());
  const size_t n = std::min(prjs.size(), size_t(slots.MaxDevices));
  for (size_t k = 0; k < n; ++k) {
    const TOpcPrj& p = *prjs[k];
    device(int(k), p);
    const size_t vars = std::min(p.Vars.size(), size_t(slots.VarsPerDevice));
    for (size_t j = 0; j < vars; ++j) var(slots.Register(int(k), int(j)), p, p.Vars[j]);
    end(int(k), p);
  }
}
}  // namespace

std::string ModbusTableCsv(std::span<const TOpcPrj* const> prjs) {
  std::string out = "地址,数据类型,变量,设备显示名,设备序号,变量完整名称\r\n";
  ForMapped(
      prjs, [](int, const TOpcPrj&) {},
      [&](int reg, const TOpcPrj& p, const TOpcCfgVar& v) {
        const std::string disp = NameOr(p.DispName);
        out += std::to_string(reg) + "," + RegisterType(v.Type) + "," + Csv(v.Name) + "," + Csv(disp) + "," +
               Csv(p.Name) + "," + Csv(disp + "." + v.Name) + "\r\n";
      },
      [](int, const TOpcPrj&) {});
  ForMapped(
      prjs,
      [&](int k, const TOpcPrj& p) {
        const std::string disp = NameOr(p.DispName);
        out += std::to_string(kStatusRegister + k) + ",UINT16,SYS_ERROR_CODE," + Csv(disp) + "," + Csv(p.Name) + "," +
               Csv(disp + ".SYS_ERROR_CODE") + "\r\n";
      },
      [](int, const TOpcPrj&, const TOpcCfgVar&) {}, [](int, const TOpcPrj&) {});
  return out;
}

std::string ModbusTableHtml(std::span<const TOpcPrj* const> prjs) {
  std::string out = kHtmlHead;
  ForMapped(
      prjs,
      [&](int, const TOpcPrj& p) {
        out += "<H1>" + Html(NameOr(p.DevName)) + ",序号:" + Html(p.Name) + "</h1>\r\n";
        out += "<table border=1><tr><th>地址</th><th>数据类型</th><th>变量</th></tr>\r\n";
      },
      [&](int reg, const TOpcPrj&, const TOpcCfgVar& v) {
        out += "<tr><td>" + std::to_string(reg) + "</td><td>" + RegisterType(v.Type) + "</td><td>" + Html(v.Name) +
               "</td></tr>\r\n";
      },
      [&](int k, const TOpcPrj&) {
        out += "<tr><td>" + std::to_string(kStatusRegister + k) + "</td><td>UINT16</td><td>SYS_ERROR_CODE</td></tr>\r\n";
        out += "</table>\r\n";
      });
  return out + kHtmlTail;
}

bool ExportModbusTable(const std::string& fileName, std::span<const TOpcPrj* const> prjs) {
  const bool csv = UpperCase(ExtractFileExt(fileName)) == ".CSV";
  return WriteFileAtomic(fileName, csv ? ModbusTableCsv(prjs) : ModbusTableHtml(prjs));
}
