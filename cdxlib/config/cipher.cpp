#include "cdxlib/config/cipher.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace {

constexpr size_t kPasswordFieldSize = 257;
constexpr size_t kPasswordPadded = 256;
constexpr const char* kTooLong = "string is too long for bounded length buffer";

struct Crypto {
  OSSL_LIB_CTX* ctx = nullptr;
  EVP_CIPHER* rc4 = nullptr;
  EVP_MD* md5 = nullptr;
};

// Set up once per process; the providers stay loaded.
const Crypto& Get() {
  static Crypto c;
  static std::once_flag once;
  std::call_once(once, [] {
    c.ctx = OSSL_LIB_CTX_new();
    if (!c.ctx) return;
    if (!OSSL_PROVIDER_load(c.ctx, "default") || !OSSL_PROVIDER_load(c.ctx, "legacy")) return;
    c.rc4 = EVP_CIPHER_fetch(c.ctx, "RC4", nullptr);
    c.md5 = EVP_MD_fetch(c.ctx, "MD5", nullptr);
  });
  return c;
}

// RC4 over the bytes with the key derived from the passphrase.
bool Rc4(const uint8_t* in, size_t length, uint8_t* out, const char* passphrase) {
  if (!EnsureCryptKeyContainer() || !passphrase) return false;
  const Crypto& c = Get();
  uint8_t hash[EVP_MAX_MD_SIZE];
  unsigned hashLength = 0;
  if (!EVP_Digest(passphrase, strlen(passphrase), hash, &hashLength, c.md5, nullptr) || hashLength < 5) return false;
  uint8_t key[16] = {};
  memcpy(key, hash, 5);  // 40 bits, then 11 zero bytes of salt
  EVP_CIPHER_CTX* e = EVP_CIPHER_CTX_new();
  if (!e) return false;
  bool ok = EVP_CipherInit_ex2(e, c.rc4, nullptr, nullptr, 1, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_key_length(e, sizeof key) == 1 &&
            EVP_CipherInit_ex2(e, nullptr, key, nullptr, 1, nullptr) == 1;
  size_t done = 0;
  while (ok && done < length) {
    const int chunk = static_cast<int>(length - done > 1 << 20 ? 1 << 20 : length - done);
    int outLength = 0;
    ok = EVP_CipherUpdate(e, out + done, &outLength, in + done, chunk) == 1 && outLength == chunk;
    done += static_cast<size_t>(chunk);
  }
  EVP_CIPHER_CTX_free(e);
  return ok;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

void SetError(char* error, size_t errorSize, const char* text) {
  if (error && errorSize) snprintf(error, errorSize, "%s", text);
}

}  // namespace

int EnsureCryptKeyContainer() {
  const Crypto& c = Get();
  return c.rc4 && c.md5 ? 1 : 0;
}

int EncryptWithPassphrase(const char* text, uint8_t* output, const char* passphrase) {
  if (!text || !output) return 0;
  const size_t n = strlen(text);
  if (n == 0) return 0;
  return Rc4(reinterpret_cast<const uint8_t*>(text), n, output, passphrase) ? static_cast<int>(n) : 0;
}

int DecryptWithPassphrase(const uint8_t* input, size_t length, char* output, size_t outputSize,
                          const char* passphrase) {
  if (!input || !output || length >= outputSize) return 0;
  if (!Rc4(input, length, reinterpret_cast<uint8_t*>(output), passphrase)) return 0;
  output[length] = 0;
  return 1;
}

void Hex_Encode(char* output, const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    output[2 * i] = digits[bytes[i] >> 4];
    output[2 * i + 1] = digits[bytes[i] & 15];
  }
  output[2 * count] = 0;
}

size_t Hex_Decode(uint8_t* output, const char* text, size_t count) {
  size_t n = 0;
  while (n < count && text[0] && text[1]) {
    const int hi = HexValue(text[0]);
    const int lo = HexValue(text[1]);
    output[n++] = lo < 0 ? 0 : static_cast<uint8_t>(((hi < 0 ? 0 : hi) << 4) | lo);
    text += 2;
  }
  return n;
}

char* Cipher_PasswordToText(const char* value) {
  if (!value) return nullptr;
  const size_t n = strnlen(value, kPasswordFieldSize);
  if (n == 0) return strdup("");
  char padded[kPasswordPadded + 1];
  memset(padded, ' ', kPasswordPadded);
  memcpy(padded, value, n > kPasswordPadded ? kPasswordPadded : n);
  padded[kPasswordPadded] = 0;
  uint8_t enc[kPasswordPadded];
  if (EncryptWithPassphrase(padded, enc, kPasswordPassphrase) != static_cast<int>(kPasswordPadded)) return nullptr;
  char* text = static_cast<char*>(malloc(4 + 2 * kPasswordPadded + 1));
  if (!text) return nullptr;
  memcpy(text, "enc:", 4);
  Hex_Encode(text + 4, enc, kPasswordPadded);
  return text;
}

int Cipher_PasswordFromText(const char* text, char* field, char* error, size_t errorSize) {
  if (!text || !field) return SetError(error, errorSize, "invalid value"), -1;
  if (strncasecmp(text, "enc:", 4) == 0) {
    // Ciphertext only when the rest is an even, non-empty run of hex
    // digits whose value fits the field; anything else is kept as given.
    const char* hex = text + 4;
    const size_t digits = strlen(hex);
    bool allHex = digits > 0 && digits % 2 == 0 && digits / 2 < kPasswordFieldSize;
    for (size_t i = 0; allHex && i < digits; ++i) allHex = HexValue(hex[i]) >= 0;
    if (allHex) {
      uint8_t bytes[kPasswordFieldSize];
      const size_t n = Hex_Decode(bytes, hex, sizeof bytes);
      char plain[kPasswordFieldSize];
      // A zero byte inside the deciphered bytes means they were not made
      // with this key: no text of ours, so the text is kept as given.
      if (DecryptWithPassphrase(bytes, n, plain, sizeof plain, kPasswordPassphrase) && strlen(plain) == n) {
        size_t len = n;
        while (len > 1 && plain[len - 1] == ' ') --len;
        plain[len] = 0;
        memcpy(field, plain, len + 1);
        memset(field + len + 1, 0, kPasswordFieldSize - len - 1);
        return 0;
      }
    }
  }
  const size_t len = strlen(text);
  if (len + 1 > kPasswordFieldSize) return SetError(error, errorSize, kTooLong), -1;
  memcpy(field, text, len + 1);
  memset(field + len + 1, 0, kPasswordFieldSize - len - 1);
  return 0;
}
