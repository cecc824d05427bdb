#include "common/log/link_texts.h"

#include <cstdlib>

namespace {
std::string g_stateTexts[kNetStateCount] = {"空闲", "操作完成", "错误", "获取变量", "开始读写", "正常运行", "重登录"};
std::string g_errTexts[kNetErrorCount] = {"(无)",       "网络通讯故障",   "设备序号错误或不存在",
                                          "序号密码错误", "变量配置错误",   "不支持此功能",
                                          "当前是透传模式", "连接数过多", "设备连接故障"};
}  // namespace

std::string StateText(int state) {
  return (state >= 0 && state < kNetStateCount) ? g_stateTexts[state] : std::string("#ERROR");
}

std::string ErrText(int errCode, int httpCode) {
  if (errCode < 0 || errCode >= kNetErrorCount) return "#错误";
  std::string t = g_errTexts[errCode];
  if (errCode == nceNetwork && httpCode != 0) t += "#" + std::to_string(std::llabs(httpCode));
  return t;
}

void SetStateText(int state, const std::string& text) {
  if (state >= 0 && state < kNetStateCount) g_stateTexts[state] = text;
}

void SetErrText(int errCode, const std::string& text) {
  if (errCode >= 0 && errCode < kNetErrorCount) g_errTexts[errCode] = text;
}
