// Item access by dotted name: resolution, get and set, read-only items,
// union switching, leaf listing and variable-array editing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_item.h"
#include "tests/base/structs_fixture.h"
#include "tests/base/structs_support.h"

using namespace structs_test;
using namespace structs_fixture;

namespace {

std::string GetText(void* rec, const char* name) {
  char* t = Structs_GetItemText(&record_type, name, kStructsTagTemporary, rec);
  if (!t) return "<null>";
  std::string s(t);
  TypedMem_Free(kStructsTagTemporary, t);
  return s;
}

struct SetResult {
  int rc;
  int err;
  std::string message;
};

SetResult SetText(void* rec, const char* name, const char* text) {
  char msg[128] = "stale";
  errno = 0;
  const int rc = Structs_SetItemText(&record_type, name, text, rec, msg, sizeof msg);
  return {rc, errno, msg};
}

std::vector<std::string> Names(const StructsType* type, const void* value) {
  char** list = nullptr;
  const int n = Structs_ListItemNames(type, value, &list, "test names");
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(list[i]);
  Structs_FreeItemNames(list, n, "test names");
  return out;
}

TEST(StructsItem, SetAndGetThroughNestedNames) {
  Value r(&record_type);
  struct Case {
    const char* name;
    const char* text;
    const char* back;
  } cases[] = {
      {"Title", "Pump 1", "Pump 1"},
      {"Entries.1.Range.From", "2.5", "2.5"},
      {"Entries.2.Name", "level", "level"},
      {"Entries.0.Kind", "DO", "DO"},
      {"Blob", "YWJj", "YWJj"},
      {"Hex", "a0B1", "a0b1"},
      {"Key", "00010203", "00010203"},
      {"Enabled", "yes", "On"},
      {"Flag", "1", "True"},
      {"Ratio", "0.125", "0.125"},
      {"Small", "-300", "-300"},
      {"Big", "12345678901", "12345678901"},
      {"Mask", "255", "0xff"},
      {"Choice.Number", "42", "42"},
      {"Note", nullptr, ""},  // a null text counts as empty
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SetResult s = SetText(r.ptr(), c.name, c.text);
    ASSERT_EQ(s.rc, 0) << s.message;
    EXPECT_EQ(s.message, "");  // cleared
    EXPECT_EQ(GetText(r.ptr(), c.name), c.back);
  }
  const Record& rec = r.as<Record>();
  EXPECT_FLOAT_EQ(rec.entries[1].range.from, 2.5f);
  EXPECT_EQ(rec.entries[0].kind, 3);
  EXPECT_EQ(rec.mask, 255);
  EXPECT_EQ(rec.note, nullptr);
  // The whole value, and an item found by name, are the same memory.
  void* item = r.ptr();
  EXPECT_EQ(Structs_FindItem(&record_type, "Entries.2.Range", &item, 0), &range_type);
  EXPECT_EQ(item, &r.as<Record>().entries[2].range);
  item = r.ptr();
  EXPECT_EQ(Structs_FindItem(&record_type, "", &item, 0), &record_type);
  EXPECT_EQ(Structs_FindItem(&record_type, nullptr, &item, 0), &record_type);
  EXPECT_EQ(item, r.ptr());
}

TEST(StructsItem, BadNamesGiveTheirErrors) {
  Value r(&record_type);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.0", r.ptr()), 0);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.1", r.ptr()), 0);
  struct Case {
    const char* name;
    int err;
  } cases[] = {
      {"Nope", ENOENT},
      {"Title.x", ENOENT},          // below a primitive
      {"Entries.+1", ENOENT},       // a sign
      {"Entries. 1", ENOENT},       // a blank
      {"Entries.1 ", ENOENT},
      {"Entries.1x", ENOENT},
      {"Entries.-0", ENOENT},
      {"Entries.", ENOENT},         // empty component
      {"Entries..Name", ENOENT},
      {"Entries.3", EDOM},          // index equal to the count
      {"Entries.99999999999999999999999", EDOM},  // never wraps to a valid index
      {"Tags.2", EDOM},
      {"Tags.length.x", ENOENT},    // "length" with more name is an index
      {"Tags.lengthx", ENOENT},
      {"Entries.0.Range.From.x", ENOENT},
      {"Choice.Nope", ENOENT},
      {"Choice.field_name.x", ENOENT},
      {".Title", ENOENT},
      {"Title.", ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* item = r.ptr();
    errno = 0;
    EXPECT_EQ(Structs_FindItem(&record_type, c.name, &item, 0), nullptr);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(Structs_GetItemText(&record_type, c.name, kStructsTagTemporary, r.ptr()), nullptr);
    // SetItemText fills the message from errno when nothing else did.
    const SetResult s = SetText(r.ptr(), c.name, "1");
    EXPECT_EQ(s.rc, -1);
    EXPECT_EQ(s.message, Structs_ErrorText(c.err));
  }
  // "Entries.01" is a whole decimal number.
  EXPECT_EQ(SetText(r.ptr(), "Entries.01.Name", "x").rc, 0);
  EXPECT_STREQ(r.as<Record>().entries[1].name, "x");
}

TEST(StructsItem, SetTextMessages) {
  Value r(&record_type);
  // The operation's own message wins.
  SetResult s = SetText(r.ptr(), "Small", "99999");
  EXPECT_EQ(s.message, "integer value is out of range");
  // An operation that fails without a message gets the text of errno.
  s = SetText(r.ptr(), "Small", "12a");
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.err, EINVAL);
  EXPECT_EQ(s.message, "Invalid argument");
  // A composite has no text form.
  s = SetText(r.ptr(), "Entries", "x");
  EXPECT_EQ(s.err, 40);
  EXPECT_EQ(s.message, "parsing from ASCII is not supported by this structs type");
  errno = 0;
  EXPECT_EQ(Structs_GetItemText(&record_type, "Entries", kStructsTagTemporary, r.ptr()), nullptr);
  EXPECT_EQ(errno, 40);
  // Without an error buffer nothing is written and nothing breaks.
  EXPECT_EQ(Structs_SetItemText(&record_type, "Small", "x", r.ptr(), nullptr, 0), -1);
  char one[1] = {'z'};
  EXPECT_EQ(Structs_SetItemText(&record_type, "Small", "x", r.ptr(), one, 0), -1);
  EXPECT_EQ(one[0], 'z');
  // A failed set leaves the old value.
  ASSERT_EQ(SetText(r.ptr(), "Title", "kept").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Small", "7").rc, 0);
  EXPECT_EQ(SetText(r.ptr(), "Small", "1.5").rc, -1);
  EXPECT_EQ(r.as<Record>().small, 7);
}

TEST(StructsItem, LengthAndFieldNameAreReadOnly) {
  Value r(&record_type);
  errno = 0;
  EXPECT_EQ(Structs_ArrayPrepare(&record_type, "Tags.2", r.ptr()), -1);  // not next
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(GetText(r.ptr(), "Tags.length"), "0");
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.0", r.ptr()), 0);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.0", r.ptr()), 0);  // already there
  EXPECT_EQ(GetText(r.ptr(), "Tags.length"), "1");
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.1", r.ptr()), 0);
  EXPECT_EQ(GetText(r.ptr(), "Tags.length"), "2");
  EXPECT_EQ(GetText(r.ptr(), "Entries.length"), "3");
  EXPECT_EQ(GetText(r.ptr(), "Choice.field_name"), "Number");

  const SetResult s = SetText(r.ptr(), "Tags.length", "5");
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.message, "parsing from ASCII is not supported by this structs type");
  EXPECT_EQ(SetText(r.ptr(), "Entries.length", "5").rc, -1);
  EXPECT_EQ(SetText(r.ptr(), "Choice.field_name", "Text").rc, -1);

  const uint32_t five = 5;
  for (const char* name : {"Tags.length", "Entries.length", "Choice.field_name"}) {
    SCOPED_TRACE(name);
    errno = 0;
    EXPECT_EQ(Structs_SetItem(&record_type, name, r.ptr(), &five), -1);
    EXPECT_EQ(errno, 40);
    errno = 0;
    EXPECT_EQ(Structs_ResetItem(&record_type, name, r.ptr()), -1);
    EXPECT_EQ(errno, 40);
    errno = 0;
    EXPECT_EQ(Structs_InitItem(&record_type, name, r.ptr()), -1);
    EXPECT_EQ(errno, 40);
    const uint8_t bytes[4] = {0, 0, 0, 5};
    const StructsData code{4, const_cast<uint8_t*>(bytes)};
    char msg[128];
    errno = 0;
    EXPECT_EQ(Structs_DecodeItem(&record_type, name, &code, r.ptr(), msg, sizeof msg), -1);
    EXPECT_EQ(errno, 40);
    EXPECT_STREQ(msg, "binary decoding is not supported by this structs type");
    // Freeing a read-only item frees nothing (the field name is the table's).
    Structs_FreeItem(&record_type, name, r.ptr());
  }
  EXPECT_EQ(r.as<Record>().tags.length, 2u);
  EXPECT_STREQ(r.as<Record>().choice.field_name, "Number");
  uint32_t n = 0;
  EXPECT_EQ(Structs_GetItem(&record_type, "Entries.length", r.ptr(), &n), 0);
  EXPECT_EQ(n, 3u);
}

TEST(StructsItem, UnionSwitchesOnlyWhenTheRestResolves) {
  Value r(&record_type);
  ASSERT_EQ(SetText(r.ptr(), "Choice.Number", "17").rc, 0);
  // Without the switch flag another field is unknown.
  void* item = r.ptr();
  errno = 0;
  EXPECT_EQ(Structs_FindItem(&record_type, "Choice.Span", &item, 0), nullptr);
  EXPECT_EQ(errno, ENOENT);
  // A rest that does not resolve in a fresh "Span" leaves the union alone.
  EXPECT_EQ(SetText(r.ptr(), "Choice.Span.Nope", "1").err, ENOENT);
  EXPECT_EQ(SetText(r.ptr(), "Choice.Span.To.x", "1").err, ENOENT);
  EXPECT_EQ(GetText(r.ptr(), "Choice.field_name"), "Number");
  EXPECT_EQ(GetText(r.ptr(), "Choice.Number"), "17");
  // A rest that resolves switches it: the new field starts from its Init.
  ASSERT_EQ(SetText(r.ptr(), "Choice.Span.To", "2").rc, 0);
  EXPECT_EQ(GetText(r.ptr(), "Choice.field_name"), "Span");
  EXPECT_EQ(GetText(r.ptr(), "Choice.Span.To"), "2");
  EXPECT_EQ(GetText(r.ptr(), "Choice.Span.From"), "0");
  EXPECT_EQ(GetText(r.ptr(), "Choice.Number"), "<null>");
  // To a string field and back (the old values are freed: LSan).
  ASSERT_EQ(SetText(r.ptr(), "Choice.Text", "abc").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Choice.Number", "-1").rc, 0);
  EXPECT_EQ(GetText(r.ptr(), "Choice.Number"), "-1");
}

TEST(StructsItem, ListingNamesEveryLeafInOrder) {
  // Two fields, one of them a fixed array of 3 structures of 2 fields.
  struct Pair {
    int32_t a;
    int32_t b;
  };
  struct Rec {
    uint8_t id;
    Pair pairs[3];
  };
  static constinit const StructsField pair_fields[] = {STRUCTS_FIELD(Pair, a, "A", structs_type_int32),
                                                       STRUCTS_FIELD(Pair, b, "B", structs_type_int32),
                                                       STRUCTS_FIELD_END};
  static constinit const StructsType pair_type = Structs_StructureType(sizeof(Pair), pair_fields);
  static constinit const StructsType pairs_type = Structs_FixedArrayType(&pair_type, sizeof(Pair), 3, "pair");
  static constinit const StructsField rec_fields[] = {STRUCTS_FIELD(Rec, id, "Id", structs_type_uint8),
                                                      STRUCTS_FIELD(Rec, pairs, "Pairs", pairs_type),
                                                      STRUCTS_FIELD_END};
  static constinit const StructsType rec_type = Structs_StructureType(sizeof(Rec), rec_fields);
  Value v(&rec_type);
  EXPECT_EQ(Names(&rec_type, v.ptr()), (std::vector<std::string>{"Id", "Pairs.0.A", "Pairs.0.B", "Pairs.1.A",
                                                                   "Pairs.1.B", "Pairs.2.A", "Pairs.2.B"}));
  // A primitive alone gives one empty name.
  Value p(&structs_type_int32);
  EXPECT_EQ(Names(&structs_type_int32, p.ptr()), (std::vector<std::string>{""}));

  Value r(&record_type);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.0", r.ptr()), 0);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Items.0", r.ptr()), 0);
  ASSERT_EQ(SetText(r.ptr(), "Choice.Span.From", "1").rc, 0);
  const std::vector<std::string> names = Names(&record_type, r.ptr());
  const std::vector<std::string> expected = {
      "Title", "Note", "Blob", "Hex", "Key",
      "Entries.0.Name", "Entries.0.Range.From", "Entries.0.Range.To", "Entries.0.Kind",
      "Entries.1.Name", "Entries.1.Range.From", "Entries.1.Range.To", "Entries.1.Kind",
      "Entries.2.Name", "Entries.2.Range.From", "Entries.2.Range.To", "Entries.2.Kind",
      "Tags.0",
      "Items.0.Name", "Items.0.Range.From", "Items.0.Range.To", "Items.0.Kind",
      "Choice.Span.From", "Choice.Span.To",
      "Enabled", "Flag", "Ratio", "Small", "Big", "Mask"};
  EXPECT_EQ(names, expected);
}

TEST(StructsItem, ListGrowsPastItsFirstCapacities) {
  static constinit const StructsType ints = Structs_ArrayType(&structs_type_uint8, "test ints", "n");
  Value v(&ints);
  ASSERT_EQ(Structs_ArraySetLength(&ints, "", v.ptr(), 500, 1), 0);  // 64, 192, 448, 960
  const std::vector<std::string> names = Names(&ints, v.ptr());
  ASSERT_EQ(names.size(), 500u);
  EXPECT_EQ(names[0], "0");
  EXPECT_EQ(names[499], "499");
}

TEST(StructsItem, EveryListedNameRoundTripsThroughText) {
  Value r(&record_type);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Tags.0", r.ptr()), 0);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Items.0", r.ptr()), 0);
  ASSERT_EQ(Structs_ArrayPrepare(&record_type, "Items.1", r.ptr()), 0);
  ASSERT_EQ(SetText(r.ptr(), "Tags.0", "t").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Blob", "AAEC").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Choice.Text", "x y").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Items.1.Range.To", "-0.5").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Big", "0x7fffffffffffffff").rc, 0);
  Value copy(&record_type);
  for (const std::string& name : Names(&record_type, r.ptr())) {
    SCOPED_TRACE(name);
    const std::string text = GetText(r.ptr(), name.c_str());
    ASSERT_NE(text, "<null>");
    ASSERT_EQ(Structs_ArrayPrepare(&record_type, name.c_str(), copy.ptr()), 0);
    const SetResult s = SetText(copy.ptr(), name.c_str(), text.c_str());
    ASSERT_EQ(s.rc, 0) << s.message;
  }
  EXPECT_TRUE(record_type.equal(&record_type, r.ptr(), copy.ptr()));
}

TEST(StructsItem, GetSetResetFreeAndInitOfItems) {
  Value r(&record_type);
  Range range{1.5f, 2.5f};
  ASSERT_EQ(Structs_SetItem(&record_type, "Items", r.ptr(), &r.as<Record>().items), 0);  // empty over itself
  ASSERT_EQ(Structs_SetItem(&record_type, "Entries.1.Range", r.ptr(), &range), 0);
  Range got{};
  ASSERT_EQ(Structs_GetItem(&record_type, "Entries.1.Range", r.ptr(), &got), 0);
  EXPECT_FLOAT_EQ(got.to, 2.5f);
  // Copies of owning values are deep.
  ASSERT_EQ(SetText(r.ptr(), "Title", "abc").rc, 0);
  char* title = nullptr;
  ASSERT_EQ(Structs_GetItem(&record_type, "Title", r.ptr(), &title), 0);
  EXPECT_NE(title, r.as<Record>().title);
  EXPECT_STREQ(title, "abc");
  ASSERT_EQ(Structs_SetItem(&record_type, "Title", r.ptr(), &title), 0);
  structs_type_string.release(&structs_type_string, &title);
  EXPECT_STREQ(r.as<Record>().title, "abc");
  // Reset gives the initial value back.
  ASSERT_EQ(Structs_ResetItem(&record_type, "Title", r.ptr()), 0);
  EXPECT_STREQ(r.as<Record>().title, "");
  ASSERT_EQ(Structs_ResetItem(&record_type, "Entries.1", r.ptr()), 0);
  EXPECT_FLOAT_EQ(r.as<Record>().entries[1].range.to, 0.0f);
  // Free keeps errno and leaves an item that Init can fill again.
  errno = 1234;
  Structs_FreeItem(&record_type, "Title", r.ptr());
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(r.as<Record>().title, nullptr);
  Structs_FreeItem(&record_type, "No.Such", r.ptr());
  EXPECT_EQ(errno, 1234);
  ASSERT_EQ(Structs_InitItem(&record_type, "Title", r.ptr()), 0);
  EXPECT_STREQ(r.as<Record>().title, "");
  // A failed copy leaves the old item.
  errno = 0;
  EXPECT_EQ(Structs_GetItem(&record_type, "Nope", r.ptr(), &got), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(StructsItem, EncodeAndDecodeItems) {
  Value r(&record_type);
  ASSERT_EQ(SetText(r.ptr(), "Entries.2.Name", "tank").rc, 0);
  ASSERT_EQ(SetText(r.ptr(), "Entries.2.Range.To", "9").rc, 0);
  StructsData code{0, nullptr};
  ASSERT_EQ(Structs_EncodeItem(&record_type, "Entries.2", kStructsTagTemporary, &code, r.ptr()), 0);
  Value other(&record_type);
  char msg[128] = "stale";
  // Extra bytes after the encoding are not consumed.
  std::vector<uint8_t> longer(code.data, code.data + code.length);
  longer.push_back(0xEE);
  const StructsData withTail{static_cast<uint32_t>(longer.size()), longer.data()};
  EXPECT_EQ(Structs_DecodeItem(&record_type, "Entries.0", &withTail, other.ptr(), msg, sizeof msg),
            static_cast<int>(code.length));
  EXPECT_STREQ(msg, "");
  EXPECT_STREQ(other.as<Record>().entries[0].name, "tank");
  EXPECT_FLOAT_EQ(other.as<Record>().entries[0].range.to, 9.0f);
  // A failed decode leaves the old item in place.
  const StructsData cut{code.length - 1, code.data};
  EXPECT_EQ(Structs_DecodeItem(&record_type, "Entries.0", &cut, other.ptr(), msg, sizeof msg), -1);
  EXPECT_STRNE(msg, "");
  EXPECT_STREQ(other.as<Record>().entries[0].name, "tank");
  TypedMem_Free(kStructsTagTemporary, code.data);
  // An unknown name: the output is {0, null} and the message is errno's text.
  code = {5, reinterpret_cast<uint8_t*>(msg)};
  errno = 0;
  EXPECT_EQ(Structs_EncodeItem(&record_type, "Nope", kStructsTagTemporary, &code, r.ptr()), -1);
  EXPECT_EQ(code.length, 0u);
  EXPECT_EQ(code.data, nullptr);
  EXPECT_EQ(Structs_DecodeItem(&record_type, "Nope", &withTail, other.ptr(), msg, sizeof msg), -1);
  EXPECT_STREQ(msg, "No such file or directory");
  // A composite with no error buffer at all.
  const StructsData empty{0, nullptr};
  EXPECT_EQ(Structs_DecodeItem(&record_type, "", &empty, other.ptr(), nullptr, 0), -1);
}

TEST(StructsItem, ArrayEditing) {
  Value r(&record_type);
  errno = 0;
  EXPECT_EQ(Structs_ArrayLength(&record_type, "Entries", r.ptr()), -1);  // fixed, not variable
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(Structs_ArrayLength(&record_type, "Tags", r.ptr()), 0);
  ASSERT_EQ(Structs_ArraySetLength(&record_type, "Tags", r.ptr(), 3, 1), 0);
  for (int i = 0; i < 3; ++i) {
    const std::string name = "Tags." + std::to_string(i);
    ASSERT_EQ(SetText(r.ptr(), name.c_str(), ("t" + std::to_string(i)).c_str()).rc, 0);
  }
  ASSERT_EQ(Structs_ArrayInsert(&record_type, "Tags", r.ptr(), 1), 0);
  EXPECT_EQ(GetText(r.ptr(), "Tags.0"), "t0");
  EXPECT_EQ(GetText(r.ptr(), "Tags.1"), "");
  EXPECT_EQ(GetText(r.ptr(), "Tags.2"), "t1");
  EXPECT_EQ(GetText(r.ptr(), "Tags.3"), "t2");
  ASSERT_EQ(Structs_ArrayInsert(&record_type, "Tags", r.ptr(), 4), 0);  // at the end
  errno = 0;
  EXPECT_EQ(Structs_ArrayInsert(&record_type, "Tags", r.ptr(), 6), -1);
  EXPECT_EQ(errno, EDOM);
  ASSERT_EQ(Structs_ArrayDelete(&record_type, "Tags", r.ptr(), 0), 0);
  EXPECT_EQ(GetText(r.ptr(), "Tags.0"), "");
  EXPECT_EQ(GetText(r.ptr(), "Tags.length"), "4");
  errno = 0;
  EXPECT_EQ(Structs_ArrayDelete(&record_type, "Tags", r.ptr(), 4), -1);
  EXPECT_EQ(errno, EDOM);
  // Shrinking releases the dropped texts (LSan would see them otherwise).
  ASSERT_EQ(Structs_ArraySetLength(&record_type, "Tags", r.ptr(), 2, 1), 0);
  EXPECT_EQ(GetText(r.ptr(), "Tags.1"), "t1");
  ASSERT_EQ(Structs_ArraySetLength(&record_type, "Tags", r.ptr(), 0, 1), 0);
  EXPECT_EQ(r.as<Record>().tags.elems, nullptr);
  ASSERT_EQ(Structs_ArraySetLength(&record_type, "Items", r.ptr(), 2, 1), 0);
  EXPECT_EQ(GetText(r.ptr(), "Items.1.Kind"), "AI");
  ASSERT_EQ(Structs_ArrayReset(&record_type, "Items", r.ptr()), 0);
  EXPECT_EQ(r.as<Record>().items.length, 0u);
  EXPECT_EQ(r.as<Record>().items.elems, nullptr);
  errno = 0;
  EXPECT_EQ(Structs_ArrayReset(&record_type, "Title", r.ptr()), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(StructsItem, PrepareAppendsOnlyAtTheEnd) {
  Value r(&record_type);
  struct Case {
    const char* name;
    int rc;
    int err;
  } cases[] = {
      {"Items.1.Name", -1, ENOENT},  // above the count
      {"Items.x", -1, ENOENT},
      {"Items.+0", -1, ENOENT},
      {"Items.0.Range.From", 0, 0},
      {"Items.1", 0, 0},
      {"Items.0.Name", 0, 0},  // already there: nothing added
      {"Nope.0", -1, ENOENT},
      {"Choice.Span.From", 0, 0},  // switches the union on the way
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    errno = 0;
    EXPECT_EQ(Structs_ArrayPrepare(&record_type, c.name, r.ptr()), c.rc);
    if (c.rc) {
      EXPECT_EQ(errno, c.err);
    }
  }
  EXPECT_EQ(r.as<Record>().items.length, 2u);
  EXPECT_STREQ(r.as<Record>().choice.field_name, "Span");
  EXPECT_EQ(SetText(r.ptr(), "Items.1.Name", "ok").rc, 0);
}

constinit const StructsType node_ptr_type = {sizeof(void*), "pointer", STRUCTS_TYPE_POINTER, Structs_UnsupportedInit,
                                             Structs_UnsupportedCopy, Structs_UnsupportedEqual,
                                             Structs_UnsupportedToText, Structs_UnsupportedFromText,
                                             Structs_UnsupportedEncode, Structs_UnsupportedDecode,
                                             Structs_NoRelease,
                                             {StructsTypeArg(&range_type), StructsNum(0), StructsNum(0)}};

TEST(StructsItem, PointersAreFollowed) {
  Range target{3.0f, 4.0f};
  Range* p = &target;
  void* item = &p;
  EXPECT_EQ(Structs_FindItem(&node_ptr_type, "To", &item, 0), &structs_type_float);
  EXPECT_EQ(item, &target.to);
  char** list = nullptr;
  const int n = Structs_ListItemNames(&node_ptr_type, &p, &list, "test names");
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(list[0], "From");
  Structs_FreeItemNames(list, n, "test names");
  Range* none = nullptr;
  item = &none;
  EXPECT_EQ(Structs_FindItem(&node_ptr_type, "To", &item, 0), nullptr);
}

}  // namespace
