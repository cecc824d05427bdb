// Letter case in item ids: the simple case folding beyond ASCII, and the item lookup of a
// server object that relies on it (folder moves stay exact).
#include <string>
#include <vector>

#include "server/namespace/case_fold.h"
#include "server/namespace/name_space.h"
#include "server/runtime/zel_main.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {
using zelcom::ComPtr;

TZelMain* g_main = nullptr;
void InitFromTestMain(TNxBaseOPCServer* s) { CreateOpcNameSpace(*g_main, *s); }
}  // namespace

TEST(CaseFold, CodePoints) {
  const struct {
    char32_t from, to;
    const char* what;
  } cases[] = {
      {U'A', U'a', "ASCII"},
      {U'z', U'z', "already folded"},
      {U'\u00C4', U'\u00E4', "Latin-1 A umlaut"},
      {U'\u00D7', U'\u00D7', "multiplication sign between the Latin-1 letters"},
      {U'\u0100', U'\u0101', "Latin Extended-A, even member of a stride-2 run"},
      {U'\u0101', U'\u0101', "odd member of the same run"},
      {U'\u01C4', U'\u01C6', "DZ with caron"},
      {U'\u01C5', U'\u01C6', "its title-case form"},
      {U'\u03A3', U'\u03C3', "Greek capital sigma"},
      {U'\u03C2', U'\u03C3', "final sigma"},
      {U'\u017F', U's', "long s folds into ASCII"},
      {U'\u212A', U'k', "Kelvin sign"},
      {U'\u1E9E', U'\u00DF', "capital sharp s (simple, not ss)"},
      {U'\u0130', U'\u0130', "capital I with dot: no simple folding outside Turkish"},
      {U'\u0410', U'\u0430', "Cyrillic"},
      {U'\uAB70', U'\u13A0', "Cherokee small letters fold to the capitals"},
      {U'\uFF21', U'\uFF41', "full-width A"},
      {U'\u4E2D', U'\u4E2D', "CJK"},
      {U'\U00010400', U'\U00010400', "beyond the BMP: unchanged"},
  };
  for (const auto& c : cases) EXPECT_EQ(FoldCodePoint(c.from), c.to) << c.what;
}

TEST(CaseFold, Utf8TextsAndBrokenBytes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"Ölstand.ΣΟΦΙΑ", "ölstand.σοφια"},
      {"ＡＢＣ中文", "ａｂｃ中文"},
      {"\xF0\x90\x90\x80X", "\xF0\x90\x90\x80x"},  // four-byte sequence kept
      {"A\xFF\xC3", "a\xFF\xC3"},                  // stray and cut-off bytes kept
      {"\xC3", "\xC3"},
      {"\xE2\x84", "\xE2\x84"},                      // cut-off three-byte sequence
      {"\xED\xA0\x80Z", "\xED\xA0\x80z"},            // encoded surrogate kept
      {"\xC0\x81", "\xC0\x81"},                      // overlong form kept
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FoldCaseUtf8(c.in), c.out) << c.in;
}

class CaseFoldLookupTest : public LeakCheck {
 protected:
  void SetUp() override {
    LeakCheck::SetUp();
    auto p = main_.NewPrj();
    p->DispName = "Pumpe Süd";
    p->UseGroup = 1;
    p->Vars = {{"Ölstand", "Kessel", 3, 0}, {"Σ", "", 3, 0}};
    main_.Prjs.push_back(std::move(p));
    main_.BuildRuntime();
    g_main = &main_;
    g_PInitServer = InitFromTestMain;
    server_ = ComPtr<IOPCServer>::Adopt(TNxBaseOPCServer::Create());
    OPCHANDLE h = 0;
    DWORD rate = 0;
    EXPECT_EQ(server_->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(mgt_.Receive())),
              S_OK);
  }
  void TearDown() override {
    mgt_.Reset();
    server_.Reset();
    g_PInitServer = nullptr;
    LeakCheck::TearDown();
  }
  HRESULT Validate(const char* id) {
    std::u16string w = Utf8ToUtf16(id);
    OPCITEMDEF def{};
    def.szItemID = w.data();
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    HRESULT hr = mgt_->ValidateItems(1, &def, FALSE, &res, &errs);
    HRESULT out = errs ? errs[0] : hr;
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    return out;
  }
  TZelMain main_;
  ComPtr<IOPCServer> server_;
  ComPtr<IOPCItemMgt> mgt_;
};

TEST_F(CaseFoldLookupTest, ItemIdsMatchRegardlessOfCaseBeyondAscii) {
  const struct {
    const char* id;
    HRESULT hr;
  } cases[] = {
      {"Pumpe Süd.Kessel.Ölstand", S_OK},
      {"PUMPE SÜD.KESSEL.ÖLSTAND", S_OK},
      {"pumpe süd.kessel.ölstand", S_OK},
      {"pumpe süd.σ", S_OK},
      {"PUMPE SÜD.ς", S_OK},  // final sigma folds as sigma
      {"Pumpe Sud.Kessel.Ölstand", OPC_E_INVALIDITEMID},  // no accent folding
      {"Pumpe Süd.Kessel.Olstand", OPC_E_INVALIDITEMID},
  };
  for (const auto& c : cases) EXPECT_EQ(Validate(c.id), c.hr) << c.id;

  // Folder moves compare exactly.
  ComPtr<IOPCBrowseServerAddressSpace> browse;
  server_.As(IID_IOPCBrowseServerAddressSpace, &browse);
  EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"PUMPE SÜD"), E_FAIL);
  EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"Pumpe Süd"), S_OK);
}

}  // namespace opcda_test
