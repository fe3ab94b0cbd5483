// MAPI memory, property values and tables.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <mapiutil.h>

#include <cstring>

#include "core/prop.h"
#include "core/table.h"

using namespace tesk::mapi;

TEST(Memory, MoreBuffersAreFreedWithTheirRoot) {
  void* root = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(64, &root), S_OK);
  for (int k = 0; k < 100; ++k) {
    void* more = nullptr;
    ASSERT_EQ(MAPIAllocateMore(128, root, &more), S_OK);
    std::memset(more, 0xAB, 128);  // the sanitizer build checks size and ownership
  }
  EXPECT_EQ(MAPIFreeBuffer(root), static_cast<ULONG>(S_OK));
  EXPECT_EQ(MAPIFreeBuffer(nullptr), static_cast<ULONG>(S_OK));
  void* more = nullptr;
  EXPECT_EQ(MAPIAllocateMore(8, nullptr, &more), MAPI_E_INVALID_PARAMETER);
}

TEST(Props, EveryTypeSurvivesTheRoundTrip) {
  GUID g = MakeOleGuid(0x12345678);
  std::u16string wide = u"Grüße";
  std::vector<SPropValue> in(10);
  in[0].ulPropTag = PROP_TAG(PT_I2, 0x6601);
  in[0].Value.i = -7;
  in[1].ulPropTag = PROP_TAG(PT_LONG, 0x6602);
  in[1].Value.l = 123456;
  in[2].ulPropTag = PROP_TAG(PT_DOUBLE, 0x6603);
  in[2].Value.dbl = 2.5;
  in[3].ulPropTag = PROP_TAG(PT_BOOLEAN, 0x6604);
  in[3].Value.b = 1;
  in[4].ulPropTag = PROP_TAG(PT_I8, 0x6605);
  in[4].Value.li.QuadPart = -1234567890123LL;
  in[5].ulPropTag = PROP_TAG(PT_SYSTIME, 0x6606);
  in[5].Value.ft = {0x89ABCDEF, 0x01D9ABCD};
  in[6].ulPropTag = PROP_TAG(PT_STRING8, 0x6607);
  in[6].Value.lpszA = const_cast<char*>("\xB3 lone byte");
  in[7].ulPropTag = PROP_TAG(PT_UNICODE, 0x6608);
  in[7].Value.lpszW = wide.data();
  in[8].ulPropTag = PROP_TAG(PT_CLSID, 0x6609);
  in[8].Value.lpguid = &g;
  LPSTR strings[] = {const_cast<char*>("a"), const_cast<char*>(""), const_cast<char*>("ccc")};
  in[9].ulPropTag = PROP_TAG(PT_MV_STRING8, 0x660A);
  in[9].Value.MVszA = {3, strings};

  PropList props;
  for (auto& v : in) props.push_back(FromSPropValue(v));
  LPSPropValue out = AllocPropArray(props);
  EXPECT_EQ(out[0].Value.i, -7);
  EXPECT_EQ(out[1].Value.l, 123456);
  EXPECT_EQ(out[2].Value.dbl, 2.5);
  EXPECT_EQ(out[3].Value.b, 1);
  EXPECT_EQ(out[4].Value.li.QuadPart, -1234567890123LL);
  EXPECT_EQ(out[5].Value.ft.dwHighDateTime, 0x01D9ABCDu);
  EXPECT_STREQ(out[6].Value.lpszA, "\xB3 lone byte");
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out[7].Value.lpszW)), wide);
  EXPECT_TRUE(IsEqualGUID(*out[8].Value.lpguid, g));
  ASSERT_EQ(out[9].Value.MVszA.cValues, 3u);
  EXPECT_STREQ(out[9].Value.MVszA.lppszA[2], "ccc");
  MAPIFreeBuffer(out);

  // Strings convert between the two widths on request.
  auto narrow = ConvertTo(props[7], PT_STRING8);
  ASSERT_TRUE(narrow);
  EXPECT_EQ(narrow->b, "Grüße");
}

namespace {

std::unique_ptr<RowSource> People() {
  std::vector<PropList> rows;
  const char* names[] = {"Anna", "Bernd", "Claudia", "Dieter", "Eva"};
  for (int k = 0; k < 5; ++k) {
    PropList r{Prop::Bytes(PR_DISPLAY_NAME_A, names[k]), Prop::Int(PR_ROWID, k)};
    if (k % 2 == 0) r.push_back(Prop::Bool(PR_DEFAULT_STORE, true));
    rows.push_back(r);
  }
  return std::make_unique<StaticRowSource>(rows, std::vector<ULONG>{PR_DISPLAY_NAME_A, PR_ROWID});
}

std::vector<std::string> Names(IMAPITable* table) {
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), S_OK);
  std::vector<std::string> out;
  for (ULONG k = 0; k < rows->cRows; ++k) out.emplace_back(rows->aRow[k].lpProps[0].Value.lpszA);
  FreeProws(rows);
  return out;
}

SPropValue Long(ULONG tag, LONG v) {
  SPropValue p{};
  p.ulPropTag = tag;
  p.Value.l = v;
  return p;
}

}  // namespace

TEST(Tables, RestrictionsCombine) {
  LPMAPITABLE raw = nullptr;
  ASSERT_EQ(CreateTable(People(), &raw), S_OK);
  CComPtr<IMAPITable> table;
  table.Attach(raw);

  SPropValue two = Long(PR_ROWID, 2);
  SRestriction parts[2]{};
  parts[0].rt = RES_EXIST;
  parts[0].res.resExist.ulPropTag = PR_DEFAULT_STORE;
  parts[1].rt = RES_PROPERTY;
  parts[1].res.resProperty = {RELOP_GE, PR_ROWID, &two};
  SRestriction both{};
  both.rt = RES_AND;
  both.res.resAnd = {2, parts};
  ASSERT_EQ(table->Restrict(&both, 0), S_OK);
  EXPECT_EQ(Names(table), (std::vector<std::string>{"Claudia", "Eva"}));

  SRestriction either{};
  either.rt = RES_OR;
  either.res.resOr = {2, parts};
  SRestriction neither{};
  neither.rt = RES_NOT;
  neither.res.resNot.lpRes = &either;
  ASSERT_EQ(table->Restrict(&neither, 0), S_OK);
  EXPECT_EQ(Names(table), (std::vector<std::string>{"Bernd"}));

  ULONG count = 0;
  ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 5u);
}

TEST(Tables, FindRowSeekRowAndQueryRows) {
  LPMAPITABLE raw = nullptr;
  ASSERT_EQ(CreateTable(People(), &raw), S_OK);
  CComPtr<IMAPITable> table;
  table.Attach(raw);
  SPropValue name{};
  name.ulPropTag = PR_DISPLAY_NAME_A;
  name.Value.lpszA = const_cast<char*>("Dieter");
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty = {RELOP_EQ, PR_DISPLAY_NAME_A, &name};
  ASSERT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Dieter");
  FreeProws(rows);
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_CURRENT, 0), MAPI_E_NOT_FOUND);  // past Dieter

  LONG sought = 0;
  ASSERT_EQ(table->SeekRow(BOOKMARK_END, -2, &sought), S_OK);
  EXPECT_EQ(sought, -2);
  ASSERT_EQ(table->QueryRows(-1, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Claudia");
  FreeProws(rows);

  // A column the rows do not have comes back as an error value.
  SizedSPropTagArray(1, cols) = {1, {PR_SUBJECT_A}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_SUBJECT_A, PT_ERROR));
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.err, MAPI_E_NOT_FOUND);
  FreeProws(rows);
}

TEST(Tables, QueryAllRowsRespectsTheRowLimit) {
  LPMAPITABLE raw = nullptr;
  ASSERT_EQ(CreateTable(People(), &raw), S_OK);
  CComPtr<IMAPITable> table;
  table.Attach(raw);
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 3, &rows), MAPI_E_TABLE_TOO_BIG);
  EXPECT_EQ(rows, nullptr);
}
