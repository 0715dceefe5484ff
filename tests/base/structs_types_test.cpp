// Structure types: the text and binary forms of every family, composite
// initialisation, copying and encoding with their roll-backs.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
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

uint64_t Bytes(Value& v, size_t n) {
  uint64_t x = 0;
  std::memcpy(&x, v.ptr(), n);
  return x;
}

// ---- integers -----------------------------------------------------------------------

struct IntCase {
  const StructsType* type;
  const char* text;
  int rc;
  uint64_t stored;  // when rc == 0
  const char* message;
};

TEST(StructsInteger, FromTextFollowsTheWindowsAndTheTrailingRules) {
  const IntCase cases[] = {
      {&structs_type_uint8, "0x1F", 0, 31, ""},
      {&structs_type_uint8, "-1", -1, 0, "integer value is out of range"},
      {&structs_type_uint8, "256", -1, 0, "integer value is out of range"},
      {&structs_type_uint8, "12 ", 0, 12, ""},
      {&structs_type_uint8, "12\t\n", 0, 12, ""},
      {&structs_type_uint8, "12a", -1, 0, ""},  // EINVAL, no message
      {&structs_type_uint8, "", -1, 0, "invalid integer value"},
      {&structs_type_uint8, "abc", -1, 0, "invalid integer value"},
      {&structs_type_int8, "200", 0, 200, ""},  // the window is the same for every style
      {&structs_type_int8, "-128", 0, 0x80, ""},
      {&structs_type_int8, "-129", -1, 0, "integer value is out of range"},
      {&structs_type_hint32, "-1", 0, 0xFFFFFFFFu, ""},
      {&structs_type_uint32, "4294967295", 0, 0xFFFFFFFFu, ""},
      {&structs_type_uint32, "4294967296", -1, 0, "integer value is out of range"},
      {&structs_type_int32, "-2147483648", 0, 0x80000000u, ""},
      {&structs_type_int32, "-2147483649", -1, 0, "integer value is out of range"},
      {&structs_type_ulong, "4294967295", 0, 0xFFFFFFFFu, ""},  // "long" is 4 bytes
      {&structs_type_ushort, "010", 0, 8, ""},                  // leading 0: octal
      {&structs_type_ushort, "08", -1, 0, ""},
      {&structs_type_uint16, "65535", 0, 0xFFFF, ""},
      {&structs_type_uint16, "65536", -1, 0, "integer value is out of range"},
      {&structs_type_int16, " -5", 0, 0xFFFB, ""},
      {&structs_type_int64, "9223372036854775807", 0, 0x7FFFFFFFFFFFFFFFull, ""},
      {&structs_type_int64, "-9223372036854775808", 0, 0x8000000000000000ull, ""},
      {&structs_type_int64, "9223372036854775808", -1, 0, "integer value is out of range"},
      {&structs_type_int64, "-99999999999999999999", -1, 0, "integer value is out of range"},
      {&structs_type_uint64, "-1", -1, 0, "integer value is out of range"},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(std::string(c.type->name) + " \"" + c.text + "\"");
    Value v(c.type);
    std::memset(v.ptr(), 0x5A, c.type->size);
    const FromTextResult r = FromText(c.type, c.text, v.ptr());
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.message, c.message);
    if (c.rc == 0) {
      EXPECT_EQ(Bytes(v, c.type->size), c.stored);
    } else {
      EXPECT_EQ(r.err, EINVAL);
      uint64_t untouched = 0;
      std::memset(&untouched, 0x5A, c.type->size);
      EXPECT_EQ(Bytes(v, c.type->size), untouched);
    }
  }
}

TEST(StructsInteger, ToTextUsesTheFormatOfSizeAndStyle) {
  struct Case {
    const StructsType* type;
    uint64_t bytes;
    const char* text;
  } cases[] = {
      {&structs_type_hchar, 5, "0x05"},
      {&structs_type_hint8, 0xAB, "0xab"},
      {&structs_type_char, 0xC8, "-56"},
      {&structs_type_uchar, 0xC8, "200"},
      {&structs_type_hint16, 0x1A, "0x1a"},
      {&structs_type_short, 0xFFFF, "-1"},
      {&structs_type_ushort, 0xFFFF, "65535"},
      {&structs_type_hint32, 0xFFFFFFFF, "0xffffffff"},
      {&structs_type_long, 0xFFFFFFFF, "-1"},
      {&structs_type_ulong, 0xFFFFFFFF, "4294967295"},
      {&structs_type_hlong, 0xDEADBEEF, "0xdeadbeef"},
      {&structs_type_int64, 0x8000000000000000ull, "-9223372036854775808"},
      {&structs_type_uint64, ~0ull, "18446744073709551615"},
      {&structs_type_hint64, ~0ull, "0xffffffffffffffff"},
  };
  for (const Case& c : cases) {
    Value v(c.type);
    std::memcpy(v.ptr(), &c.bytes, c.type->size);
    EXPECT_EQ(Text(c.type, v.ptr()), c.text) << c.type->name << " size " << c.type->size;
  }
}

TEST(StructsInteger, SizeCodeAboveSevenFailsWithEdom) {
  StructsType bad = structs_type_int32;
  bad.args[0].num = 8;
  uint32_t v = 0;
  char msg[32] = "";
  errno = 0;
  EXPECT_EQ(bad.from_text(&bad, "1", &v, msg, sizeof msg), -1);
  EXPECT_EQ(errno, EDOM);
  EXPECT_STREQ(msg, "");
  errno = 0;
  EXPECT_EQ(bad.to_text(&bad, kStructsTagTemporary, &v), nullptr);
  EXPECT_EQ(errno, EDOM);
}

TEST(StructsInteger, EveryDescriptorReadsBackWhatItPrints) {
  std::mt19937_64 rng(7);
  for (unsigned code = 0; code < 8; ++code) {
    for (unsigned style = 0; style < 3; ++style) {
      const StructsType* t = Structs_IntegerType(code, style);
      ASSERT_NE(t, nullptr);
      for (int i = 0; i < 200; ++i) {
        uint64_t x = rng();
        // The parse is signed 64-bit: unsigned 64-bit values above the
        // signed maximum print but do not read back.
        if (t->size == 8 && style != 1) x &= 0x7FFFFFFFFFFFFFFFull;
        Value v(t), w(t);
        std::memcpy(v.ptr(), &x, t->size);
        const std::string text = Text(t, v.ptr());
        ASSERT_EQ(FromText(t, text.c_str(), w.ptr()).rc, 0) << text;
        ASSERT_TRUE(t->equal(t, v.ptr(), w.ptr())) << t->name << code << " " << text;
      }
    }
  }
  EXPECT_EQ(Structs_IntegerType(8, 0), nullptr);
  EXPECT_EQ(Structs_IntegerType(0, 3), nullptr);
  EXPECT_EQ(Structs_IntegerType(2, 1), &structs_type_int);
}

TEST(StructsInteger, BigEndianEncodingAndTruncatedDecode) {
  Value v(&structs_type_uint32);
  v.as<uint32_t>() = 0x01020304;
  EXPECT_EQ(Encode(&structs_type_uint32, v.ptr()), (std::vector<uint8_t>{1, 2, 3, 4}));
  const std::vector<uint8_t> code{9, 8, 7, 6, 5};
  Value w(&structs_type_uint32);
  EXPECT_EQ(Decode(&structs_type_uint32, code, 5, w.ptr()), 4);
  EXPECT_EQ(w.as<uint32_t>(), 0x09080706u);
  std::string msg;
  errno = 0;
  EXPECT_EQ(Decode(&structs_type_uint32, code, 3, w.ptr(), &msg), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(msg, "encoded data is truncated");
}

// ---- generic slots ---------------------------------------------------------------------

TEST(StructsGeneric, ReversedDecodeRefusesValuesAbove16Bytes) {
  StructsType wide = structs_type_uint32;
  wide.size = 17;
  std::vector<uint8_t> code(17, 1);
  uint8_t value[17];
  errno = 0;
  EXPECT_EQ(Decode(&wide, code, 17, value), -1);
  EXPECT_EQ(errno, ERANGE);
  wide.size = 16;
  EXPECT_EQ(Decode(&wide, code, 17, value), 16);
}

TEST(StructsGeneric, UnsupportedSlotsGiveError40AndTheirMessages) {
  char msg[128] = "";
  errno = 0;
  EXPECT_EQ(Structs_UnsupportedFromText(&structs_type_int, "1", nullptr, msg, sizeof msg), -1);
  EXPECT_EQ(errno, 40);
  EXPECT_STREQ(msg, "parsing from ASCII is not supported by this structs type");
  errno = 0;
  EXPECT_EQ(Structs_UnsupportedDecode(&structs_type_int, nullptr, 0, nullptr, msg, sizeof msg), -1);
  EXPECT_EQ(errno, 40);
  EXPECT_STREQ(msg, "binary decoding is not supported by this structs type");
  errno = 0;
  EXPECT_EQ(Structs_UnsupportedToText(&structs_type_int, kStructsTagTemporary, nullptr), nullptr);
  EXPECT_EQ(errno, 40);
  errno = 0;
  EXPECT_EQ(Structs_UnsupportedInit(&structs_type_int, nullptr), -1);
  EXPECT_EQ(errno, 40);
  // Messages are cut to the buffer and always terminated.
  char small[8];
  Structs_UnsupportedFromText(&structs_type_int, "1", nullptr, small, sizeof small);
  EXPECT_STREQ(small, "parsing");
}

TEST(StructsGeneric, ErrorTextsAreThoseOfTheRuntimeNumbering) {
  EXPECT_STREQ(Structs_ErrorText(40), "Function not implemented");
  EXPECT_STREQ(Structs_ErrorText(EINVAL), "Invalid argument");
  EXPECT_STREQ(Structs_ErrorText(ENOENT), "No such file or directory");
  EXPECT_STREQ(Structs_ErrorText(EDOM), "Numerical argument out of domain");
  EXPECT_NE(Structs_ErrorText(100000), nullptr);
}

// ---- booleans ------------------------------------------------------------------------------

TEST(StructsBoolean, EveryDescriptorReadsAllTenWords) {
  const StructsType* types[] = {&structs_type_boolean8,  &structs_type_boolean8_onoff,  &structs_type_boolean8_01,
                                &structs_type_boolean32, &structs_type_boolean32_onoff, &structs_type_boolean32_01};
  struct Case {
    const char* text;
    int value;  // -1: refused
  } cases[] = {{"yes", 1},     {"YES", 1},         {"  Enabled  ", 1}, {"0", 0},  {"1", 1},
               {"off", 0},     {"TRUE", 1},        {"false", 0},       {"No", 0}, {"disabled", 0},
               {"maybe", -1},  {"", -1},           {"On2", -1},        {"o n", -1}};
  for (const StructsType* t : types) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.text) + " size " + std::to_string(t->size));
      Value v(t);
      std::memset(v.ptr(), 0x77, t->size);
      const FromTextResult r = FromText(t, c.text, v.ptr());
      if (c.value < 0) {
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, EINVAL);
        EXPECT_EQ(r.message, "invalid Boolean value");
      } else {
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(Bytes(v, t->size), static_cast<uint64_t>(c.value));
      }
    }
  }
  // A 64-character word is cut to 63 and matches nothing.
  Value v(&structs_type_boolean8);
  EXPECT_EQ(FromText(&structs_type_boolean8, std::string(64, 'x').c_str(), v.ptr()).rc, -1);
}

TEST(StructsBoolean, ToTextTestsForNonZeroAndUsesThePair) {
  Value v(&structs_type_boolean32_onoff);
  v.as<uint32_t>() = 5;
  EXPECT_EQ(Text(&structs_type_boolean32_onoff, v.ptr()), "On");
  v.as<uint32_t>() = 0;
  EXPECT_EQ(Text(&structs_type_boolean32_onoff, v.ptr()), "Off");
  Value b(&structs_type_boolean8);
  b.as<uint8_t>() = 2;
  EXPECT_EQ(Text(&structs_type_boolean8, b.ptr()), "True");
  Value z(&structs_type_boolean8_01);
  EXPECT_EQ(Text(&structs_type_boolean8_01, z.ptr()), "0");
}

// ---- floats ----------------------------------------------------------------------------------

TEST(StructsFloat, FromTextLimitsAndMessages) {
  struct Case {
    const StructsType* type;
    const char* text;
    const char* message;  // "" = accepted
    double value;
  } cases[] = {
      {&structs_type_float, "1e-40", "floating point value underflow", 0},
      {&structs_type_float, "0", "", 0},
      {&structs_type_float, "3.5 ", "", 3.5},
      {&structs_type_float, "-2.25", "", -2.25},
      {&structs_type_float, "1e39", "floating point value overflow", 0},
      {&structs_type_float, "-1e39", "floating point value overflow", 0},
      {&structs_type_float, "3.4028234663852886e+38", "", 3.4028234663852886e+38},
      // The largest float as it is printed (a little above it) and just below
      // the midpoint to the next power of two still give the largest float.
      {&structs_type_float, "3.402823466385289e+38", "", 3.4028234663852886e+38},
      {&structs_type_float, "-3.4028235677973362e+38", "", -3.4028234663852886e+38},
      {&structs_type_float, "3.4028235677973366e+38", "floating point value overflow", 0},
      {&structs_type_float, "5.9e-39", "", static_cast<float>(5.9e-39)},
      {&structs_type_float, "5.8e-39", "floating point value underflow", 0},
      {&structs_type_double, "1e39", "", 1e39},
      {&structs_type_double, "1e-400", "floating point value underflow", 0},
      {&structs_type_double, "1e400", "floating point value overflow", 0},
      {&structs_type_double, ".5", "", 0.5},
      {&structs_type_double, "3.5x", "invalid floating point value", 0},
      {&structs_type_double, "", "invalid floating point value", 0},
      {&structs_type_double, "inf", "invalid floating point value", 0},
      {&structs_type_double, "-nan", "invalid floating point value", 0},
      {&structs_type_double, "0x1p3", "invalid floating point value", 0},
      {&structs_type_double, "3,5", "invalid floating point value", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type->name) + " " + c.text);
    Value v(c.type);
    const FromTextResult r = FromText(c.type, c.text, v.ptr());
    EXPECT_EQ(r.message, c.message);
    if (*c.message) {
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(r.err, EINVAL);
    } else {
      ASSERT_EQ(r.rc, 0);
      const double got = c.type->size == 4 ? v.as<float>() : v.as<double>();
      EXPECT_EQ(got, c.value);
    }
  }
}

TEST(StructsFloat, TextFormAndRoundTrip) {
  Value f(&structs_type_float);
  f.as<float>() = 0.1f;
  EXPECT_EQ(Text(&structs_type_float, f.ptr()), "0.1000000014901161");
  Value d(&structs_type_double);
  d.as<double>() = 2.5e39;
  EXPECT_EQ(Text(&structs_type_double, d.ptr()), "2.5e+39");
  // The extremes read back exactly (the largest one once failed as overflow).
  for (float y : {FLT_MAX, -FLT_MAX, std::nextafter(FLT_MAX, 0.0f), FLT_MIN, -FLT_MIN}) {
    f.as<float>() = y;
    Value fb(&structs_type_float);
    ASSERT_EQ(FromText(&structs_type_float, Text(&structs_type_float, f.ptr()).c_str(), fb.ptr()).rc, 0) << y;
    EXPECT_EQ(fb.as<float>(), y);
  }
  std::mt19937_64 rng(11);
  for (int i = 0; i < 500; ++i) {
    uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, 8);
    if (!std::isfinite(x)) continue;
    d.as<double>() = x;
    Value back(&structs_type_double);
    ASSERT_EQ(FromText(&structs_type_double, Text(&structs_type_double, d.ptr()).c_str(), back.ptr()).rc, 0);
    // "%.16g" keeps 16 digits: a double reads back within one part in 1e15.
    EXPECT_NEAR(back.as<double>(), x, std::fabs(x) * 1e-15);
    // Any finite float reads back exactly, except those below the
    // smallest magnitude a float accepts from text.
    const uint32_t fbits = static_cast<uint32_t>(bits);
    float y;
    std::memcpy(&y, &fbits, 4);
    if (!std::isfinite(y) || (y != 0 && std::fabs(y) < 5.9e-39f)) continue;
    f.as<float>() = y;
    Value fb(&structs_type_float);
    ASSERT_EQ(FromText(&structs_type_float, Text(&structs_type_float, f.ptr()).c_str(), fb.ptr()).rc, 0);
    EXPECT_EQ(fb.as<float>(), y);  // exact for a float
  }
  // Equal compares numbers: -0 equals 0, NaN equals nothing.
  Value a(&structs_type_double), b(&structs_type_double);
  a.as<double>() = -0.0;
  EXPECT_TRUE(structs_type_double.equal(&structs_type_double, a.ptr(), b.ptr()));
  a.as<double>() = NAN;
  EXPECT_FALSE(structs_type_double.equal(&structs_type_double, a.ptr(), a.ptr()));
}

TEST(StructsFloat, TextIsTheCLocaleWhateverTheProcessLocale) {
  // A German locale (decimal comma): the machine's own, or one compiled
  // into this test's folder.
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    const char* root = std::getenv("CDXPLAT_ROOT");
    ASSERT_NE(root, nullptr);
    const std::string dir = std::string(root) + "/locales";
    std::filesystem::create_directories(dir);
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    // localedef may report warnings with a non-zero status: setlocale decides.
    [[maybe_unused]] const int rc = std::system(cmd.c_str());
    setenv("LOCPATH", dir.c_str(), 1);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale can be made here";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 2.5);
  ASSERT_STREQ(probe, "2,5");  // the process really is in a decimal-comma locale
  Value d(&structs_type_double);
  EXPECT_EQ(FromText(&structs_type_double, "2.5", d.ptr()).rc, 0);
  EXPECT_EQ(d.as<double>(), 2.5);
  EXPECT_EQ(Text(&structs_type_double, d.ptr()), "2.5");
  EXPECT_EQ(FromText(&structs_type_double, "2,5", d.ptr()).message, "invalid floating point value");
  Value f(&structs_type_float);
  EXPECT_EQ(FromText(&structs_type_float, "-0.25", f.ptr()).rc, 0);
  EXPECT_EQ(Text(&structs_type_float, f.ptr()), "-0.25");
  std::setlocale(LC_ALL, "C");
}

// ---- ids -------------------------------------------------------------------------------------

TEST(StructsId, TextFormsAndInit) {
  Value v(&structs_type_chan_kind8);
  EXPECT_EQ(Text(&structs_type_chan_kind8, v.ptr()), "AI");
  ASSERT_EQ(FromText(&structs_type_chan_kind8, "CI", v.ptr()).rc, 0);
  EXPECT_EQ(v.as<uint8_t>(), 4);
  v.as<uint8_t>() = 9;
  EXPECT_EQ(Text(&structs_type_chan_kind8, v.ptr()), "INVALID");
  const FromTextResult r = FromText(&structs_type_chan_kind8, "ai", v.ptr());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, EINVAL);
  EXPECT_EQ(r.message, "invalid value \"ai\"");

  Value w(&structs_type_date_format32);
  ASSERT_EQ(FromText(&structs_type_date_format32, "dd-MMM-yy", w.ptr()).rc, 0);
  EXPECT_EQ(w.as<uint32_t>(), 11u);
  EXPECT_EQ(Encode(&structs_type_date_format32, w.ptr()), (std::vector<uint8_t>{0, 0, 0, 11}));

  // A table of case-blind words, with a 2-byte value and a first value of 7.
  static constinit const StructsIdEntry words[] = {{"Seven", 7, 1}, {"exact", 8, 0}, {nullptr, 0, 0}};
  static constinit const StructsType t = Structs_IdType(words, 2);
  Value x(&t);
  EXPECT_EQ(x.as<uint16_t>(), 7);
  EXPECT_EQ(FromText(&t, "EXACT", x.ptr()).rc, -1);
  ASSERT_EQ(FromText(&t, "exact", x.ptr()).rc, 0);
  EXPECT_EQ(x.as<uint16_t>(), 8);
  ASSERT_EQ(FromText(&t, "sEVEN", x.ptr()).rc, 0);
  EXPECT_EQ(Text(&t, x.ptr()), "Seven");
}

TEST(StructsId, TablesHoldTheConfigurationWords) {
  struct Case {
    const StructsIdEntry* table;
    std::vector<std::string> words;
  } cases[] = {
      {structs_ids_chan_kind, {"AI", "DI", "AO", "DO", "CI"}},
      {structs_ids_store_kind, {"FILE", "DATABASE"}},
      {structs_ids_log_mode, {"PERIOD", "PERIOD-EVENT", "EVENT", "RATE OF CHANGE"}},
      {structs_ids_date_format,
       {"SHORT", "LONG", "dd/MM/yyyy", "dd/MM/yy", "MM/dd/yyyy", "MM/dd/yy", "yy/MM/dd", "yyyy/MM/dd",
        "yyyy-MM-dd", "yy-MM-dd", "dd-MMM-yyyy", "dd-MMM-yy"}},
      {structs_ids_export_when, {"NONE", "ON TIME", "ON EVENT"}},
      {structs_ids_append_create, {"APPEND", "CREATE"}},
      {structs_ids_create_append, {"CREATE", "APPEND"}},
      {structs_ids_export_action, {"RUN COMMAND", "DATA EXPORT"}},
      {structs_ids_export_format, {"NONE", "TEXT FILE", "USER DEFINED"}},
      {structs_ids_time_mode, {"ELAPSED", "DIFFERENTIAL", "ABSOLUTE"}},
      {structs_ids_time_unit, {"SECONDS", "MINUTES", "HOURS"}},
      {structs_ids_export_filter, {"EXPORT ALL", "SKIP EVERY", "SKIP TIME FREQUENCY", "SKIP DUPLICATES"}},
      {structs_ids_server_kind, {"WebService", "Directory"}},
  };
  for (const Case& c : cases) {
    size_t n = 0;
    for (; c.table[n].name; ++n) {
      ASSERT_LT(n, c.words.size());
      EXPECT_EQ(c.table[n].name, c.words[n]);
      EXPECT_EQ(c.table[n].value, n);
      EXPECT_EQ(c.table[n].nocase, 0u);
    }
    EXPECT_EQ(n, c.words.size()) << c.words[0];
  }
}

// ---- strings ---------------------------------------------------------------------------------

TEST(StructsString, InitEqualAndTheNullForm) {
  Value s(&structs_type_string), n(&structs_type_string_null);
  ASSERT_NE(s.as<char*>(), nullptr);
  EXPECT_STREQ(s.as<char*>(), "");
  EXPECT_EQ(n.as<char*>(), nullptr);
  EXPECT_EQ(Text(&structs_type_string_null, n.ptr()), "");

  Value e(&structs_type_string_null);
  ASSERT_EQ(FromText(&structs_type_string_null, "x", e.ptr()).rc, 0);
  EXPECT_FALSE(structs_type_string_null.equal(&structs_type_string_null, n.ptr(), e.ptr()));
  ASSERT_EQ(FromText(&structs_type_string_null, "", e.ptr()).rc, 0);
  EXPECT_EQ(e.as<char*>(), nullptr);  // the empty text is stored as null
  EXPECT_TRUE(structs_type_string_null.equal(&structs_type_string_null, n.ptr(), e.ptr()));
  char* empty = const_cast<char*>("");
  EXPECT_TRUE(structs_type_string_null.equal(&structs_type_string_null, n.ptr(), &empty));

  ASSERT_EQ(FromText(&structs_type_string, "abc", s.ptr()).rc, 0);
  Value c(&structs_type_string, false);
  ASSERT_EQ(structs_type_string.copy(&structs_type_string, s.ptr(), c.ptr()), 0);
  c.set_ok(true);
  EXPECT_NE(c.as<char*>(), s.as<char*>());
  EXPECT_TRUE(structs_type_string.equal(&structs_type_string, s.ptr(), c.ptr()));
}

TEST(StructsString, EncodingCarriesTheZeroAndDecodeNeedsIt) {
  Value s(&structs_type_string);
  ASSERT_EQ(FromText(&structs_type_string, "abc", s.ptr()).rc, 0);
  const std::vector<uint8_t> code = Encode(&structs_type_string, s.ptr());
  EXPECT_EQ(code, (std::vector<uint8_t>{'a', 'b', 'c', 0}));
  std::vector<uint8_t> more = code;
  more.push_back('z');
  Value d(&structs_type_string, false);
  ASSERT_EQ(Decode(&structs_type_string, more, more.size(), d.ptr()), 4);
  d.set_ok(true);
  EXPECT_STREQ(d.as<char*>(), "abc");
  for (size_t n = 0; n < code.size(); ++n) {
    Value t(&structs_type_string, false);
    std::string msg;
    errno = 0;
    EXPECT_EQ(Decode(&structs_type_string, code, n, t.ptr(), &msg), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(msg, "encoded string is truncated");
  }
}

TEST(StructsFixedString, BoundedCopyAndUnterminatedBuffers) {
  static constinit const StructsType t25 = Structs_FixedStringType(25);
  Value v(&t25);
  ASSERT_EQ(FromText(&t25, std::string(24, 'a').c_str(), v.ptr()).rc, 0);
  EXPECT_EQ(Text(&t25, v.ptr()), std::string(24, 'a'));
  const FromTextResult r = FromText(&t25, std::string(25, 'b').c_str(), v.ptr());
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "string is too long for bounded length buffer");
  EXPECT_EQ(r.err, EINVAL);
  EXPECT_EQ(Text(&t25, v.ptr()), std::string(24, 'a'));  // unchanged

  // A record text that fills its field without a terminator.
  static constinit const StructsType t4 = Structs_FixedStringType(4);
  char full[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(Text(&t4, full), "wxyz");
  char other[4] = {'w', 'x', 'y', 'z'};
  EXPECT_TRUE(t4.equal(&t4, full, other));
  EXPECT_EQ(Encode(&t4, full), (std::vector<uint8_t>{'w', 'x', 'y', 'z', 0}));
  // Its encoding does not fit the buffer again.
  Value d(&t4, false);
  std::string msg;
  EXPECT_EQ(Decode(&t4, {'w', 'x', 'y', 'z', 0}, 5, d.ptr(), &msg), -1);
  EXPECT_EQ(msg, "string is too long for bounded length buffer");
}

// ---- data ------------------------------------------------------------------------------------

TEST(StructsData, Base64AndHexTextForms) {
  Value v(&structs_type_data);
  ASSERT_EQ(FromText(&structs_type_data, "YWJj", v.ptr()).rc, 0);
  ASSERT_EQ(v.as<StructsData>().length, 3u);
  EXPECT_EQ(std::memcmp(v.as<StructsData>().data, "abc", 3), 0);
  EXPECT_EQ(Text(&structs_type_data, v.ptr()), "YWJj");
  EXPECT_EQ(Text(&structs_type_hexdata, v.ptr()), "616263");
  ASSERT_EQ(FromText(&structs_type_data, "Zg==", v.ptr()).rc, 0);
  EXPECT_EQ(v.as<StructsData>().length, 1u);
  ASSERT_EQ(FromText(&structs_type_data, "", v.ptr()).rc, 0);
  EXPECT_EQ(v.as<StructsData>().length, 0u);
  EXPECT_EQ(v.as<StructsData>().data, nullptr);
  EXPECT_EQ(Text(&structs_type_data, v.ptr()), "");
  EXPECT_EQ(Text(&structs_type_hexdata, v.ptr()), "");

  const FromTextResult bad = FromText(&structs_type_data, "YW Jj", v.ptr());
  EXPECT_EQ(bad.rc, -1);
  EXPECT_EQ(bad.message, "invalid encoded binary data");
  EXPECT_EQ(bad.err, EINVAL);

  struct Case {
    const char* text;
    const char* message;
    std::vector<uint8_t> bytes;
  } hex[] = {{"0aFF", "", {0x0A, 0xFF}},
             {" 01\n 02 ", "", {1, 2}},
             {"0 1", "non-hex character seen", {}},
             {"0g", "non-hex character seen", {}},
             {"abc", "odd length hex sequence", {}},
             {"", "", {}}};
  for (const Case& c : hex) {
    SCOPED_TRACE(c.text);
    Value h(&structs_type_hexdata);
    ASSERT_EQ(FromText(&structs_type_hexdata, "99", h.ptr()).rc, 0);
    const FromTextResult r = FromText(&structs_type_hexdata, c.text, h.ptr());
    EXPECT_EQ(r.message, c.message);
    const StructsData& d = h.as<StructsData>();
    if (*c.message) {
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(d.length, 1u);  // the old value stays
    } else {
      ASSERT_EQ(r.rc, 0);
      EXPECT_EQ(std::vector<uint8_t>(d.data, d.data + d.length), c.bytes);
    }
  }
}

TEST(StructsData, EncodingAndCorruptLengths) {
  Value v(&structs_type_data);
  ASSERT_EQ(FromText(&structs_type_hexdata, "0102", v.ptr()).rc, 0);
  const std::vector<uint8_t> code = Encode(&structs_type_data, v.ptr());
  EXPECT_EQ(code, (std::vector<uint8_t>{0, 0, 0, 2, 1, 2}));
  for (size_t n = 0; n < code.size(); ++n) {
    Value d(&structs_type_data, false);
    std::string msg;
    EXPECT_EQ(Decode(&structs_type_data, code, n, d.ptr(), &msg), -1) << n;
    EXPECT_EQ(msg, "encoded data is corrupted");
  }
  struct Case {
    std::vector<uint8_t> code;
  } corrupt[] = {
      {{0, 0, 0, 10, 1, 2, 3, 4, 5, 6, 7, 8}},  // length 10, 12 bytes available
      {{0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}},   // 4 + length wraps in 32 bits
      {{0xFF, 0xFF, 0xFF, 0xFD, 1, 2, 3, 4}},
  };
  for (const Case& c : corrupt) {
    Value d(&structs_type_data, false);
    std::string msg;
    errno = 0;
    EXPECT_EQ(Decode(&structs_type_data, c.code, c.code.size(), d.ptr(), &msg), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(msg, "encoded data is corrupted");
  }
  Value e(&structs_type_data, false);
  EXPECT_EQ(Decode(&structs_type_data, {0, 0, 0, 0}, 4, e.ptr()), 4);
  e.set_ok(true);
  EXPECT_EQ(e.as<StructsData>().data, nullptr);
}

TEST(StructsFixedData, HexTextOfExactlyItsSize) {
  Value v(&structs_fixture::key_type);
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {{"deadBEEF", ""},
               {" d e a d b e e f ", ""},
               {"dead", "hex string is too short"},
               {"deadbeef00", "hex string is too long"},
               {"deadbeef x", "hex string is too long"},
               {"deadbexf", "non-hex character seen"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::memset(v.ptr(), 0x11, 4);
    const FromTextResult r = FromText(&key_type, c.text, v.ptr());
    EXPECT_EQ(r.message, c.message);
    if (*c.message) {
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(r.err, EINVAL);
      EXPECT_EQ(Text(&key_type, v.ptr()), "11111111");
    } else {
      EXPECT_EQ(r.rc, 0);
      EXPECT_EQ(Text(&key_type, v.ptr()), "deadbeef");
    }
  }
  // Plain bytes, of any size (no limit of 16 as for reversed values).
  static constinit const StructsType big = Structs_FixedDataType(40);
  std::vector<uint8_t> raw(40);
  for (int i = 0; i < 40; ++i) raw[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Encode(&big, raw.data()), raw);
  std::vector<uint8_t> back(40);
  EXPECT_EQ(Decode(&big, raw, 40, back.data()), 40);
  EXPECT_EQ(back, raw);
}

// ---- composites ------------------------------------------------------------------------------

void Fill(Record* r, std::mt19937& rng) {
  auto set = [&](const std::string& name, const std::string& text) {
    char msg[128];
    ASSERT_EQ(Structs_SetItemText(&record_type, name.c_str(), text.c_str(), r, msg, sizeof msg), 0)
        << name << ": " << msg;
  };
  auto num = [&](int lo, int hi) { return std::to_string(std::uniform_int_distribution<int>(lo, hi)(rng)); };
  if (rng() % 2) set("Title", "title " + num(0, 99));
  if (rng() % 2) set("Note", rng() % 2 ? "" : "note");
  if (rng() % 2) set("Blob", rng() % 2 ? "YWJjZA==" : "AA==");
  if (rng() % 2) set("Hex", "00ff" + num(10, 99));
  if (rng() % 2) set("Key", "0102030" + num(0, 9));
  for (int i = 0; i < 3; ++i) {
    const std::string e = "Entries." + std::to_string(i);
    if (rng() % 2) set(e + ".Name", "n" + num(0, 9));
    if (rng() % 2) set(e + ".Range.To", num(-5, 5) + ".5");
    if (rng() % 2) set(e + ".Kind", rng() % 2 ? "DO" : "AI");
  }
  const int tags = static_cast<int>(rng() % 4);
  for (int i = 0; i < tags; ++i) {
    const std::string name = "Tags." + std::to_string(i);
    ASSERT_EQ(Structs_ArrayPrepare(&record_type, name.c_str(), r), 0);
    if (rng() % 3) set(name, "tag" + num(0, 9));
  }
  const int items = static_cast<int>(rng() % 3);
  for (int i = 0; i < items; ++i) {
    const std::string name = "Items." + std::to_string(i) + ".Range.From";
    ASSERT_EQ(Structs_ArrayPrepare(&record_type, name.c_str(), r), 0);
    if (rng() % 2) set(name, num(0, 9));
  }
  switch (rng() % 4) {
    case 0: set("Choice.Number", num(-100, 100)); break;
    case 1: set("Choice.Span.To", num(1, 9)); break;
    case 2: set("Choice.Text", "t" + num(0, 9)); break;
    default: break;
  }
  if (rng() % 2) set("Enabled", "On");
  if (rng() % 2) set("Flag", "yes");
  if (rng() % 2) set("Ratio", num(-9, 9) + ".25");
  if (rng() % 2) set("Small", num(-30000, 30000));
  if (rng() % 2) set("Big", "0x" + num(1, 9) + "0000000000");
  if (rng() % 2) set("Mask", "0x" + num(10, 99));
}

TEST(StructsComposite, InitialStructureEncodesToItsMapAlone) {
  Value v(&range_type);
  EXPECT_EQ(Encode(&range_type, v.ptr()), (std::vector<uint8_t>{0}));
  Value r(&record_type);
  const std::vector<uint8_t> code = Encode(&record_type, r.ptr());
  EXPECT_EQ(code, std::vector<uint8_t>(2, 0));  // 15 fields: 2 map bytes
  Value d(&record_type, false);
  ASSERT_EQ(Decode(&record_type, code, code.size(), d.ptr()), 2);
  d.set_ok(true);
  EXPECT_TRUE(record_type.equal(&record_type, r.ptr(), d.ptr()));
  EXPECT_STREQ(d.as<Record>().title, "");
}

TEST(StructsComposite, PresenceMapAndMemberOrder) {
  Value v(&range_type);
  v.as<Range>().to = 1.0f;
  // Bit 1 for the second field, then the float 1.0 big-endian.
  EXPECT_EQ(Encode(&range_type, v.ptr()), (std::vector<uint8_t>{0x02, 0x3F, 0x80, 0x00, 0x00}));
  Value a(&items_type);
  EXPECT_EQ(Encode(&items_type, a.ptr()), (std::vector<uint8_t>{0, 0, 0, 0}));
  // Nine elements of which only the ninth differs: count, two map bytes.
  static constinit const StructsType ints = Structs_ArrayType(&structs_type_uint8, "test ints", "n");
  Value n(&ints);
  ASSERT_EQ(Structs_ArraySetLength(&ints, "", n.ptr(), 9, 1), 0);
  static_cast<uint8_t*>(n.as<StructsArray>().elems)[8] = 7;
  EXPECT_EQ(Encode(&ints, n.ptr()), (std::vector<uint8_t>{0, 0, 0, 9, 0x00, 0x01, 7}));
}

TEST(StructsComposite, RandomRecordsSurviveCopyAndEncoding) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 150; ++i) {
    Value r(&record_type);
    Fill(&r.as<Record>(), rng);
    if (HasFatalFailure()) return;
    Value c(&record_type, false);
    ASSERT_EQ(record_type.copy(&record_type, r.ptr(), c.ptr()), 0);
    c.set_ok(true);
    EXPECT_TRUE(record_type.equal(&record_type, r.ptr(), c.ptr()));
    const std::vector<uint8_t> code = Encode(&record_type, r.ptr());
    Value d(&record_type, false);
    ASSERT_EQ(Decode(&record_type, code, code.size(), d.ptr()), static_cast<int>(code.size()));
    d.set_ok(true);
    EXPECT_TRUE(record_type.equal(&record_type, r.ptr(), d.ptr())) << "record " << i;
    EXPECT_EQ(Encode(&record_type, d.ptr()), code);
  }
}

TEST(StructsComposite, EveryTruncationFailsCleanly) {
  std::mt19937 rng(99);
  int checked = 0;
  for (int i = 0; i < 30; ++i) {
    Value r(&record_type);
    Fill(&r.as<Record>(), rng);
    if (HasFatalFailure()) return;
    const std::vector<uint8_t> code = Encode(&record_type, r.ptr());
    for (size_t n = 0; n < code.size(); ++n) {
      Value d(&record_type, false);
      std::string msg;
      errno = 0;
      ASSERT_EQ(Decode(&record_type, code, n, d.ptr(), &msg), -1) << "length " << n << " of " << code.size();
      EXPECT_EQ(errno, EINVAL);
      EXPECT_FALSE(msg.empty());
      // A failed decode leaves the memory zeroed (and owning nothing: LSan).
      EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(d.ptr()), static_cast<uint8_t*>(d.ptr()) + sizeof(Record)),
                std::vector<uint8_t>(sizeof(Record), 0));
      ++checked;
    }
  }
  EXPECT_GT(checked, 100);
}

TEST(StructsComposite, ArrayCountIsCheckedAgainstTheInputBeforeAllocating) {
  // Count 0xFFFFFFFF needs a 512 MiB map: refused at once, nothing allocated.
  std::string msg;
  Value d(&items_type, false);
  errno = 0;
  EXPECT_EQ(Decode(&items_type, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, 6, d.ptr(), &msg), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(msg, "encoded array is truncated");
  // A count whose map is present decodes to initial elements.
  ASSERT_EQ(Decode(&items_type, {0, 0, 0, 16, 0, 0}, 6, d.ptr()), 6);
  d.set_ok(true);
  EXPECT_EQ(d.as<StructsArray>().length, 16u);
  Value e(&entries_type, false);
  EXPECT_EQ(Decode(&entries_type, {}, 0, e.ptr(), &msg), -1);
  EXPECT_EQ(msg, "encoded array is truncated");
  Value r(&range_type, false);
  EXPECT_EQ(Decode(&range_type, {}, 0, r.ptr(), &msg), -1);
  EXPECT_EQ(msg, "encoded structure is truncated");
}

// A type whose Init or Copy fails on its n-th call, to drive the roll-backs.
int g_left = 0;
int CountedInit(const StructsType* t, void* v) {
  if (g_left-- <= 0) return errno = ENOMEM, -1;
  return Structs_StringInit(t, v);
}
int CountedCopy(const StructsType* t, const void* a, void* b) {
  if (g_left-- <= 0) return errno = ENOMEM, -1;
  return Structs_StringCopy(t, a, b);
}
constinit const StructsType fragile = {sizeof(char*), "string", STRUCTS_TYPE_PRIMITIVE, CountedInit, CountedCopy,
                                       Structs_StringEqual, Structs_StringToText, Structs_StringFromText,
                                       Structs_StringEncode, Structs_StringDecode, Structs_StringRelease,
                                       {StructsText("structs_type_string"), StructsNum(0), StructsNum(0)}};
struct Three {
  char* a;
  char* b;
  char* c;
};
constinit const StructsField three_fields[] = {STRUCTS_FIELD(Three, a, "A", fragile),
                                               STRUCTS_FIELD(Three, b, "B", fragile),
                                               STRUCTS_FIELD(Three, c, "C", fragile), STRUCTS_FIELD_END};
constinit const StructsType three_type = Structs_StructureType(sizeof(Three), three_fields);
constinit const StructsType three_array = Structs_FixedArrayType(&fragile, sizeof(char*), 3, "s");
constinit const StructsType fragile_list = Structs_ArrayType(&fragile, "test fragile", "s");

TEST(StructsComposite, FailedInitAndCopyRollBackAndZeroFill) {
  for (const StructsType* t : {&three_type, &three_array}) {
    for (int fail = 0; fail < 3; ++fail) {
      Three v;
      std::memset(&v, 0x5A, sizeof v);
      g_left = fail;
      errno = 0;
      EXPECT_EQ(t->init(t, &v), -1);
      EXPECT_EQ(errno, ENOMEM);
      EXPECT_EQ(v.a, nullptr);
      EXPECT_EQ(v.c, nullptr);  // (the strings already made are freed: LSan)
    }
    g_left = 3;
    Three src;
    ASSERT_EQ(t->init(t, &src), 0);
    g_left = 1;
    Three dst;
    EXPECT_EQ(t->copy(t, &src, &dst), -1);
    EXPECT_EQ(dst.a, nullptr);
    t->release(t, &src);
  }
  // A variable array's copy frees its block and leaves {0, null}.
  g_left = 100;
  Value list(&fragile_list);
  ASSERT_EQ(Structs_ArraySetLength(&fragile_list, "", list.ptr(), 4, 1), 0);
  g_left = 2;
  StructsArray copy{7, &copy};
  errno = 0;
  EXPECT_EQ(fragile_list.copy(&fragile_list, list.ptr(), &copy), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(copy.length, 0u);
  EXPECT_EQ(copy.elems, nullptr);
}

TEST(StructsComposite, WrongClassIsRefused) {
  StructsType notStruct = range_type;
  notStruct.tclass = STRUCTS_TYPE_PRIMITIVE;
  Range r{};
  errno = 0;
  EXPECT_EQ(Structs_StructureInit(&notStruct, &r), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(Structs_StructureEqual(&notStruct, &r, &r), 0);
  StructsArray a{};
  StructsType notArray = items_type;
  notArray.tclass = STRUCTS_TYPE_FIXEDARRAY;
  errno = 0;
  EXPECT_EQ(Structs_ArrayInit(&notArray, &a), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(StructsComposite, UnionsCopyCompareAndEncodeTheirActiveField) {
  Value u(&choice_type);
  EXPECT_STREQ(u.as<StructsUnion>().field_name, "Number");
  char msg[64];
  ASSERT_EQ(Structs_SetItemText(&choice_type, "Text", "hello", u.ptr(), msg, sizeof msg), 0);
  const std::vector<uint8_t> code = Encode(&choice_type, u.ptr());
  EXPECT_EQ(code, (std::vector<uint8_t>{'T', 'e', 'x', 't', 0, 'h', 'e', 'l', 'l', 'o', 0}));
  Value d(&choice_type, false);
  ASSERT_EQ(Decode(&choice_type, code, code.size(), d.ptr()), static_cast<int>(code.size()));
  d.set_ok(true);
  EXPECT_TRUE(choice_type.equal(&choice_type, u.ptr(), d.ptr()));
  Value c(&choice_type, false);
  ASSERT_EQ(choice_type.copy(&choice_type, u.ptr(), c.ptr()), 0);
  c.set_ok(true);
  EXPECT_TRUE(choice_type.equal(&choice_type, u.ptr(), c.ptr()));
  Value other(&choice_type);
  EXPECT_FALSE(choice_type.equal(&choice_type, u.ptr(), other.ptr()));
  std::string m;
  Value bad(&choice_type, false);
  EXPECT_EQ(Decode(&choice_type, {'N', 'o', 0, 1}, 4, bad.ptr(), &m), -1);
  EXPECT_EQ(m, "invalid union field \"No\"");
  EXPECT_EQ(Decode(&choice_type, {'T', 'e'}, 2, bad.ptr(), &m), -1);
  EXPECT_EQ(m, "encoded union is truncated");
}

TEST(StructsComposite, TypedMemStatsDescribesTheUsageList) {
  EXPECT_EQ(structs_type_typed_mem_stats.tclass, STRUCTS_TYPE_ARRAY);
  const StructsType* entry = structs_type_typed_mem_stats.args[0].type;
  EXPECT_EQ(entry->size, sizeof(TypedMemUsageEntry));
  const StructsField* f = entry->args[0].fields;
  EXPECT_STREQ(f[0].name, "type");
  EXPECT_STREQ(f[1].name, "allocs");
  EXPECT_STREQ(f[2].name, "bytes");
  EXPECT_EQ(f[3].name, nullptr);
}

}  // namespace
