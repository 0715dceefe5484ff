#include "cdxlib/config/cipher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Hex(const uint8_t* b, size_t n) {
  std::string s(2 * n + 1, 0);
  Hex_Encode(s.data(), b, n);
  s.resize(2 * n);
  return s;
}

TEST(Cipher, KnownAnswersOfTheDerivedKey) {
  ASSERT_EQ(EnsureCryptKeyContainer(), 1);
  // "abc" blank-padded to 256 with the password passphrase.
  std::string padded = "abc" + std::string(253, ' ');
  uint8_t out[256];
  ASSERT_EQ(EncryptWithPassphrase(padded.c_str(), out, kPasswordPassphrase), 256);
  EXPECT_EQ(Hex(out, 16), "dffae088a5f94fb1bd4d303d4aa08f09");
  // "secret" with the server passphrase (no padding).
  ASSERT_EQ(EncryptWithPassphrase("secret", out, kServerPassphrase), 6);
  EXPECT_EQ(Hex(out, 6), "e672cdca5554");
  char back[16];
  ASSERT_EQ(DecryptWithPassphrase(out, 6, back, sizeof back, kServerPassphrase), 1);
  EXPECT_STREQ(back, "secret");
  // The output must have room for the terminator.
  EXPECT_EQ(DecryptWithPassphrase(out, 6, back, 6, kServerPassphrase), 0);
  EXPECT_EQ(EncryptWithPassphrase("", out, kServerPassphrase), 0);
}

TEST(Cipher, HexDecodeIsLenientAsSpecified) {
  uint8_t b[8] = {};
  struct {
    const char* text;
    size_t count;
    size_t expectCount;
    std::string expect;
  } cases[] = {
      {"00ff7Aa0", 8, 4, "00ff7aa0"},
      {"zf", 8, 1, "0f"},   // no hex digit high: counts as 0
      {"fz", 8, 1, "00"},   // no hex digit low: the byte is 0
      {"abc", 8, 1, "ab"},  // an odd digit at the end is dropped
      {"aabbcc", 2, 2, "aabb"},
      {"", 8, 0, ""},
  };
  for (const auto& c : cases) {
    const size_t n = Hex_Decode(b, c.text, c.count);
    EXPECT_EQ(n, c.expectCount) << c.text;
    EXPECT_EQ(Hex(b, n), c.expect) << c.text;
  }
}

TEST(Cipher, PasswordTextRoundTrips) {
  struct {
    std::string value;
    std::string back;
  } cases[] = {
      {"abc", "abc"},
      {"", ""},
      {"with blanks   ", "with blanks"},  // trailing blanks are lost
      {"   ", " "},                       // all blanks keep one
      {std::string(256, 'p'), std::string(256, 'p')},
      {"caf\xe9 \x80", "caf\xe9 \x80"},
  };
  for (const auto& c : cases) {
    char field[257];
    memset(field, 0, sizeof field);
    memcpy(field, c.value.data(), c.value.size());
    char* text = Cipher_PasswordToText(field);
    ASSERT_NE(text, nullptr);
    if (c.value.empty()) {
      EXPECT_STREQ(text, "");
    } else {
      EXPECT_EQ(strlen(text), 516u);
      EXPECT_EQ(std::string(text, 4), "enc:");
      if (c.value == "abc") {
        EXPECT_EQ(std::string(text, 36), "enc:dffae088a5f94fb1bd4d303d4aa08f09");
      }
    }
    char back[257];
    memset(back, 'X', sizeof back);
    char error[128] = "";
    ASSERT_EQ(Cipher_PasswordFromText(text, back, error, sizeof error), 0) << error;
    EXPECT_EQ(std::string(back), c.back);
    free(text);
  }
}

TEST(Cipher, TextsThatAreNoCiphertextAreStoredAsGiven) {
  char field[257];
  char error[128] = "";
  for (const char* text : {"plain", "enc:", "enc:xyz1", "enc:abc", "ENC:zz", "encore1"}) {
    ASSERT_EQ(Cipher_PasswordFromText(text, field, error, sizeof error), 0) << text;
    EXPECT_STREQ(field, text);
  }
  // Upper-case hex after "ENC:" is ciphertext.
  char* text = Cipher_PasswordToText("abc");
  for (char* p = text; *p; ++p) *p = static_cast<char>(toupper(*p));
  ASSERT_EQ(Cipher_PasswordFromText(text, field, error, sizeof error), 0);
  EXPECT_STREQ(field, "abc");
  free(text);
  // More ciphertext than the field can hold is kept as text, and too long.
  const std::string huge = "enc:" + std::string(600, 'a');
  EXPECT_EQ(Cipher_PasswordFromText(huge.c_str(), field, error, sizeof error), -1);
  EXPECT_STREQ(error, "string is too long for bounded length buffer");
  const std::string fits(256, 'q');
  EXPECT_EQ(Cipher_PasswordFromText(fits.c_str(), field, error, sizeof error), 0);
  const std::string tooLong(257, 'q');
  EXPECT_EQ(Cipher_PasswordFromText(tooLong.c_str(), field, error, sizeof error), -1);
}

TEST(Cipher, MatchesOpenSslCommandLineRc4) {
  // The same key and cipher through the openssl program and its legacy
  // provider: key = MD5 first 5 bytes + 11 zero bytes.
  FILE* p = popen("printf secret | openssl enc -rc4 -provider legacy -provider default -nosalt "
                  "-K 52af5616a1000000000000000000000000 2>/dev/null | od -An -tx1 | tr -d ' \\n'",
                  "r");
  ASSERT_NE(p, nullptr);
  char buf[64] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  if (n == 0) GTEST_SKIP() << "no openssl program";
  uint8_t out[6];
  ASSERT_EQ(EncryptWithPassphrase("secret", out, kServerPassphrase), 6);
  EXPECT_EQ(std::string(buf), Hex(out, 6));
}

}  // namespace
