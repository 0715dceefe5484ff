// The passphrase cipher of the configuration files' secret fields, and the
// hex form of their bytes.
//
// The key is derived as the system always derived it: the MD5 hash of the
// passphrase's characters, its first 5 bytes as a 40-bit RC4 key followed
// by 11 zero bytes of salt, so RC4 runs over a 16-byte key. Each call
// starts the key stream afresh and the output has the input's length.
// Files written on any machine read on any other.
//
// MD5 and RC4 come from OpenSSL's libcrypto; RC4 lives in its "legacy"
// provider, which is loaded (with "default") into a library context of
// this module's own, leaving the process's default context untouched.
#pragma once
#include <cstddef>
#include <cstdint>

// The passphrases of "password" and "server" fields.
constexpr const char* kPasswordPassphrase = "Q7#vandel2kP";
constexpr const char* kServerPassphrase = "Q7#vandel2kS";

// 1 when MD5 and RC4 are available, else 0.
int EnsureCryptKeyContainer();

// Enciphers the text's characters (without terminator) into output, which
// holds at least strlen(text) bytes: their number, or 0 on failure.
int EncryptWithPassphrase(const char* text, uint8_t* output, const char* passphrase);
// Deciphers length bytes into output as a terminated text: 1, or 0 on
// failure, also when the text and its terminator do not fit outputSize.
int DecryptWithPassphrase(const uint8_t* input, size_t length, char* output, size_t outputSize,
                          const char* passphrase);

// Two lower-case hex digits a byte, terminated (output holds 2 * count + 1).
void Hex_Encode(char* output, const uint8_t* bytes, size_t count);
// Pairs of hex digits (either case) into at most count bytes, stopping at
// the text's end: a character that is no hex digit counts as 0 in the high
// place and makes the byte 0 in the low place. The number of bytes.
size_t Hex_Decode(uint8_t* output, const char* text, size_t count);

// The text form of a "password" field (257 bytes, terminated): "" for an
// empty value, else "enc:" and 512 hex digits of the value blank-padded to
// 256 characters. Null when the value cannot be enciphered (the caller
// must not write it in plain text). malloc'ed.
char* Cipher_PasswordToText(const char* value);
// Stores a text into a "password" field of 257 bytes: "enc:" and hex
// digits are deciphered and their trailing blanks removed (one character
// is kept); a text that does not decipher to a value that fits, or whose
// deciphered bytes hold a zero (digits not made with this key), is stored
// as given. 0, or -1 with "string is too long for bounded length buffer"
// in error (errorSize bytes) when the stored text would not fit.
int Cipher_PasswordFromText(const char* text, char* field, char* error, size_t errorSize);
