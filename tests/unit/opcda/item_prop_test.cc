// IOPCItemProperties over fake value objects: the property list, the values and errors
// per id, the lookup answer, unknown items and allocation failures.
#include "server/opcda/item_prop.h"

#include <vector>

#include "server/opcda/opc_util.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {

// The owner the embedded object hands IUnknown to.
using Owner = CountedUnknown;

class ItemPropTest : public LeakCheck {
 protected:
  ItemPropTest() : props(owner, finder) {
    finder.Add("P.rw", VT_R4, true);
    finder.Add("P.ro", VT_I4, false).quality_ = OPC_QUALITY_BAD;
  }
  Owner owner;
  FakeFinder finder;
  TOPCItemProp props;
  std::u16string rw = W("P.rw"), ro = W("P.ro"), unknown = W("P.none");
};

TEST_F(ItemPropTest, QueryAvailablePropertiesListsSix) {
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* texts = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(props.QueryAvailableProperties(rw.data(), &count, &ids, &texts, &types), S_OK);
  ASSERT_EQ(count, 6u);
  const char* want[] = {"Item Canonical Data Type", "Item Value", "Item Quality",
                        "Item TimeStamp", "Item Access Rights", "erver Scan Rate"};
  const VARTYPE wantTypes[] = {VT_I2, VT_VARIANT, VT_I2, VT_DATE, VT_I2, VT_R4};
  for (DWORD i = 0; i < 6; ++i) {
    EXPECT_EQ(ids[i], i + 1);
    EXPECT_EQ(OleToUtf8(texts[i]), want[i]);
    EXPECT_EQ(types[i], wantTypes[i]);
  }
  CoTaskMemFree(ids);
  FreeTaskStrings(texts, count);
  CoTaskMemFree(types);
}

TEST_F(ItemPropTest, UnknownItemIsInvalidItemIdForEveryMethod) {
  DWORD count = 5, id = 1;
  DWORD* ids = nullptr;
  LPWSTR* texts = nullptr;
  VARTYPE* types = nullptr;
  VARIANT* data = nullptr;
  HRESULT* errors = nullptr;
  LPWSTR* newIds = nullptr;
  EXPECT_EQ(props.QueryAvailableProperties(unknown.data(), &count, &ids, &texts, &types),
            OPC_E_INVALIDITEMID);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(props.GetItemProperties(unknown.data(), 1, &id, &data, &errors), OPC_E_INVALIDITEMID);
  EXPECT_EQ(props.LookupItemIDs(unknown.data(), 1, &id, &newIds, &errors), OPC_E_INVALIDITEMID);
  EXPECT_EQ(props.GetItemProperties(nullptr, 1, &id, &data, &errors), OPC_E_INVALIDITEMID);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(errors, nullptr);
}

TEST_F(ItemPropTest, GetItemPropertiesValuesAndErrors) {
  struct Case {
    const char* item;
    DWORD id;
    HRESULT error;
    VARTYPE vt;
    double value;  // as a number, for the checks below
  };
  const Case cases[] = {
      {"P.rw", 1, S_OK, VT_I2, VT_R4},
      {"P.rw", 2, S_OK, VT_R8, 1.5},
      {"P.rw", 3, S_OK, VT_I2, OPC_QUALITY_GOOD},
      {"P.rw", 4, S_OK, VT_DATE, 45000.5},
      {"P.rw", 5, S_OK, VT_I2, 3},
      {"P.ro", 5, S_OK, VT_I2, 1},  // read-only item
      {"P.ro", 3, S_OK, VT_I2, OPC_QUALITY_BAD},
      {"P.rw", 6, OPC_E_INVALID_PID, VT_EMPTY, 0},  // offered, not served
      {"P.rw", 0, OPC_E_INVALID_PID, VT_EMPTY, 0},
      {"P.rw", 99, OPC_E_INVALID_PID, VT_EMPTY, 0},
  };
  for (const Case& c : cases) {
    std::u16string item = W(c.item);
    DWORD id = c.id;
    VARIANT* data = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = props.GetItemProperties(item.data(), 1, &id, &data, &errors);
    EXPECT_EQ(hr, c.error == S_OK ? S_OK : S_FALSE) << c.item << " " << c.id;
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(errors[0], c.error) << c.item << " " << c.id;
    EXPECT_EQ(data[0].vt, c.vt) << c.item << " " << c.id;
    if (c.vt == VT_I2) {
      EXPECT_EQ(data[0].iVal, static_cast<SHORT>(c.value));
    } else if (c.vt == VT_R8) {
      EXPECT_EQ(data[0].dblVal, c.value);
    } else if (c.vt == VT_DATE) {
      EXPECT_EQ(data[0].date, c.value);
    }
    FreeTaskVariants(data, 1);
    CoTaskMemFree(errors);
  }
}

TEST_F(ItemPropTest, GetItemPropertiesMixedIdsAnswersSFalseInOrder) {
  DWORD ids[] = {1, 6, 99};
  VARIANT* data = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(props.GetItemProperties(rw.data(), 3, ids, &data, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_INVALID_PID);
  EXPECT_EQ(errors[2], OPC_E_INVALID_PID);
  EXPECT_EQ(data[0].vt, VT_I2);
  EXPECT_EQ(data[1].vt, VT_EMPTY);
  EXPECT_EQ(data[2].vt, VT_EMPTY);
  FreeTaskVariants(data, 3);
  CoTaskMemFree(errors);
}

TEST_F(ItemPropTest, LookupItemIdsAnswersTheItemItselfForAnyId) {
  DWORD ids[] = {1, 42};
  LPWSTR* newIds = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(props.LookupItemIDs(ro.data(), 2, ids, &newIds, &errors), S_OK);
  EXPECT_EQ(OleToUtf8(newIds[0]), "P.ro");
  EXPECT_EQ(OleToUtf8(newIds[1]), "P.ro");
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], S_OK);
  FreeTaskStrings(newIds, 2);
  CoTaskMemFree(errors);
}

TEST_F(ItemPropTest, OutOfMemoryAtEveryAllocationReturnsNothing) {
  finder.proxies["P.rw"]->text_ = true;  // the value is a BSTR: one more allocation
  for (uint64_t n = 1; n <= 9; ++n) {
    zelcom::FailTaskAllocAt(n);
    DWORD count = 7;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(props.QueryAvailableProperties(rw.data(), &count, &ids, &texts, &types),
              E_OUTOFMEMORY) << n;
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(texts, nullptr);
    EXPECT_EQ(types, nullptr);
  }
  DWORD pids[] = {1, 2};
  for (uint64_t n = 1; n <= 3; ++n) {  // values, errors, the value's text
    zelcom::FailTaskAllocAt(n);
    VARIANT* data = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(props.GetItemProperties(rw.data(), 2, pids, &data, &errors), E_OUTOFMEMORY) << n;
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(errors, nullptr);
  }
  for (uint64_t n = 1; n <= 4; ++n) {  // ids, errors, two texts
    zelcom::FailTaskAllocAt(n);
    LPWSTR* newIds = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(props.LookupItemIDs(rw.data(), 2, pids, &newIds, &errors), E_OUTOFMEMORY) << n;
    EXPECT_EQ(newIds, nullptr);
    EXPECT_EQ(errors, nullptr);
  }
}

TEST_F(ItemPropTest, IUnknownIsTheOwners) {
  EXPECT_EQ(props.AddRef(), 2u);
  EXPECT_EQ(props.Release(), 1u);
  void* p = &owner;
  EXPECT_EQ(props.QueryInterface(IID_IOPCItemProperties, &p), E_NOINTERFACE);
}

}  // namespace
}  // namespace opcda_test
