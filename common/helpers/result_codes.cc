#include "common/helpers/result_codes.h"

#include "common/platform/text.h"

namespace {
struct TResultRow {
  const char* name;
  const char* text;
};
constexpr TResultRow kResults[26] = {
    {"OK", "#NO_ERROR"},
    {"ZelID", "设备序号错误或不存在"},
    {"PassBlank", "密码不可为空"},
    {"PassError", "密码错误"},
    {"Rsvd4", "网络错误"},
    {"NotSupport", "设备不支持此功能"},
    {"SysDisable", "当前设备序号未开通此功能"},
    {"IODevError", "IO设备通讯故障"},
    {"SessionID", "网络异常或者您太久没有操作，请重新登录"},
    {"NoInfo", "该设备没有登录信息，请确认您的设备是否已经开机并连接到网络"},
    {"ModeTrans", "该设备是透传状态，无变量信息"},
    {"ModeNonTrans", "该设备是非透传状态"},
    {"Write", "变量不可写"},
    {"WriteValue", "写入的变量值非法"},
    {"NoConn", "设备失去连接"},
    {"ClientCount", "客户端数目过多"},
    {"ParamError", "参数错误"},
    {"InternalError", "服务器内部错误"},
    {"PassLocked", "密码错误次数过多，被锁定"},
    {"PassDisable", "设备密码被禁用"},
    {"PriDisable", "权限不足，无法使用此功能"},
    {"GroupNameError", "设备组名称错误或不存在"},
    {"AlarmGroupNameError", "报警组名称错误或不存在"},
    {"NoChange", "未改变"},
    {"DeviceBusy", "设备忙"},
    {"#ERROR#", "#UNKNOWN_ERROR"},
};
int Row(int code) { return (code < 0 || code > 25) ? 25 : code; }
}  // namespace

std::string ResultText(int code) {
  if (code >= 4096 && code <= 8190) return Format("#InternalERROR#%04X", code);
  return kResults[Row(code)].text;
}

std::string ResultName(int code) { return kResults[Row(code)].name; }
