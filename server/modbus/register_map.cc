#include "server/modbus/register_map.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "server/modbus/modbus_engine.h"
#include "server/runtime/zel_main.h"

void EncodePair(int dataType, double value, uint16_t pair[2]) {
  uint32_t bits;
  if (dataType == VAR_ANALOG) {
    bits = std::bit_cast<uint32_t>(float(value));
  } else {
    // Truncation toward zero; values beyond 32 bits saturate and NaN reads 0, where a
    // plain conversion would be undefined.
    double t = std::trunc(value);
    bits = std::isnan(t) ? 0u : uint32_t(int32_t(std::clamp(t, -2147483648.0, 2147483647.0)));
  }
  pair[0] = uint16_t(bits);
  pair[1] = uint16_t(bits >> 16);
}

double DecodePair(int dataType, const uint16_t pair[2]) {
  const uint32_t bits = uint32_t(pair[0]) | uint32_t(pair[1]) << 16;
  if (dataType == VAR_ANALOG) return std::bit_cast<float>(bits);
  return double(int32_t(bits));
}

bool TModbusRegisterMap::Mapped(int k) const {
  return k >= 0 && k < slots_.MaxDevices && size_t(k) < main_->PrjCount();
}

uint8_t TModbusRegisterMap::ReadPairs(int first, int count, std::span<uint16_t> words) const {
  uint8_t result = 0;
  for (int i = 0; i < count && size_t(2 * i + 1) < words.size(); ++i) {
    const int p = first + i;
    const int k = p / slots_.VarsPerDevice, j = p % slots_.VarsPerDevice;
    uint16_t* pair = &words[size_t(2 * i)];
    pair[0] = pair[1] = 0;
    if (!Mapped(k)) {
      result = mbeIllegalDataAddress;
      continue;
    }
    TOpcSPrj& prj = main_->SPrj(size_t(k));
    if (prj.ErrCode != 0) {
      if (!noError_) result = mbeSlaveDeviceFailure;
    } else if (size_t(j) < prj.Vars.size()) {
      const TZelVarItem& var = *prj.Vars[size_t(j)];
      EncodePair(var.DataType, prj.GetValue(var), pair);
    }
  }
  return result;
}

uint8_t TModbusRegisterMap::WritePairs(int first, int count, std::span<const uint16_t> words) {
  uint8_t result = 0;
  for (int i = 0; i < count && size_t(2 * i + 1) < words.size(); ++i) {
    const int p = first + i;
    const int k = p / slots_.VarsPerDevice, j = p % slots_.VarsPerDevice;
    if (!Mapped(k)) {
      result = mbeIllegalDataAddress;
      continue;
    }
    TOpcSPrj& prj = main_->SPrj(size_t(k));
    if (prj.ErrCode != 0) {
      if (!noError_) result = 6;  // slave device busy
    } else if (size_t(j) < prj.Vars.size()) {
      TZelVarItem& var = *prj.Vars[size_t(j)];
      prj.SetValue(var, DecodePair(var.DataType, &words[size_t(2 * i)]));
    } else if (!noError_) {
      result = mbeIllegalDataAddress;
    }
  }
  return result;
}

void TModbusRegisterMap::ReadStatus(int first, int count, std::span<uint16_t> words) const {
  for (int i = 0; i < count && size_t(i) < words.size(); ++i) {
    const size_t k = size_t(first) + size_t(i);
    words[size_t(i)] = k < main_->PrjCount() ? uint16_t(main_->SPrj(k).ErrCode) : 0;
  }
}
