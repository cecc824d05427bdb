// The GUID text functions of the platform API, on top of the portable registry form.
#include <string>

#include "com/guid_text.h"

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  std::string text = GuidToText(rguid);
  if (!lpsz || cchMax < static_cast<int>(text.size()) + 1) return 0;
  for (size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
  lpsz[text.size()] = 0;
  return static_cast<int>(text.size()) + 1;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  *pclsid = CLSID_NULL;
  if (!lpsz) return S_OK;  // as the platform: no text is the null class
  std::string text;
  for (size_t i = 0; lpsz[i] && i < 64; ++i)
    text.push_back(lpsz[i] < 0x80 ? static_cast<char>(lpsz[i]) : '?');
  std::optional<GUID> g = TextToGuid(text);
  if (!g) return CO_E_CLASSSTRING;  // ProgIDs are not looked up here
  *pclsid = *g;
  return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  HRESULT hr = CLSIDFromString(lpsz, lpiid);
  return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}
