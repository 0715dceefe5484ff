// Base64 filters: known vectors, strict and lenient decoding, charsets,
// chunked runs and random round trips.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "base/memory/typedmem.h"
#include "base/stream/base64.h"

namespace {

std::string Run(Filter* f, const std::string& in, int* rc = nullptr) {
    void* out = nullptr;
    int n = Filter_Process(f, in.data(), in.size(), true, &out, "TEMPORARY");
    if (rc) *rc = n;
    if (n < 0) {
        EXPECT_EQ(out, nullptr);
        return "<error>";
    }
    EXPECT_EQ(static_cast<char*>(out)[n], '\0');
    std::string s(static_cast<char*>(out), static_cast<size_t>(n));
    TypedMem_Free("TEMPORARY", out);
    return s;
}

std::string Encode(const std::string& in, const char* charset = nullptr) {
    Filter* f = Base64_CreateEncoder(charset);
    std::string s = Run(f, in);
    Filter_Destroy(&f);
    EXPECT_EQ(f, nullptr);
    return s;
}

std::string Decode(const std::string& in, bool strict, int* rc = nullptr, const char* charset = nullptr) {
    Filter* f = Base64_CreateDecoder(charset, strict);
    std::string s = Run(f, in, rc);
    Filter_Destroy(&f);
    return s;
}

TEST(Base64, KnownVectors) {
    struct {
        const char* plain;
        const char* encoded;
    } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
                 {"\xff\xfe\x00", "//4A"}};
    for (auto& c : cases) {
        std::string plain(c.plain, strlen(c.plain) + (strcmp(c.encoded, "//4A") == 0 ? 1 : 0));
        EXPECT_EQ(Encode(plain), c.encoded) << c.encoded;
        EXPECT_EQ(Decode(c.encoded, true), plain) << c.encoded;
    }
}

TEST(Base64, StrictAndLenientDecoding) {
    struct {
        const char* text;
        const char* lenient;  // what a lenient decoder gives
        bool strict_ok;
    } cases[] = {
        {"Zm9v YmFy", "foobar", false},
        {"Zm9v\r\nYmFy", "foobar", false},
        {"Zm=9v", "foo", true},   // the pad is skipped anywhere
        {"Zm9", "fo", true},      // no padding at the end
        {"Z", "d", true},         // a lone digit still gives one byte
        {"*", "", false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Decode(c.text, false), c.lenient);
        int rc = 0;
        std::string got = Decode(c.text, true, &rc);
        if (c.strict_ok) {
            EXPECT_EQ(got, c.lenient);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, EINVAL);
        }
    }
    // A strict write reports the characters taken before the bad one.
    Filter* d = Base64_CreateDecoder(nullptr, true);
    EXPECT_EQ(Filter_Write(d, "Zm9v YmFy", 9), 4);
    EXPECT_EQ(errno, EINVAL);
    char buf[8];
    EXPECT_EQ(Filter_Read(d, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "foo");
    Filter_Destroy(&d);
}

TEST(Base64, Charsets) {
    std::string custom = "ZYXWVUTSRQPONMLKJIHGFEDCBAzyxwvutsrqponmlkjihgfedcba9876543210-_.";
    struct {
        std::string charset;
        bool ok;
    } cases[] = {{kBase64StandardCharset, true},
                 {custom, true},
                 {std::string(kBase64StandardCharset).substr(0, 64), false},
                 {std::string(kBase64StandardCharset) + "!", false},
                 {"A" + std::string(kBase64StandardCharset).substr(1, 63) + "A", false},
                 {"", false}};
    for (auto& c : cases) {
        errno = 0;
        EXPECT_EQ(Base64_CheckCharset(c.charset.c_str()), c.ok ? 0 : -1) << c.charset;
        Filter* f = Base64_CreateEncoder(c.charset.c_str());
        EXPECT_EQ(f != nullptr, c.ok);
        if (!c.ok) { EXPECT_EQ(errno, EINVAL); }
        Filter_Destroy(&f);
        f = Base64_CreateDecoder(c.charset.c_str(), true);
        EXPECT_EQ(f != nullptr, c.ok);
        Filter_Destroy(&f);
    }
    // YWJjZA== with each digit mapped to the reversed alphabet.
    EXPECT_EQ(Encode("abcd", custom.c_str()), "BDQqAZ..");
    EXPECT_EQ(Decode("BDQqAZ..", true, nullptr, custom.c_str()), "abcd");
}

TEST(Base64, WriteAfterEndAndLengthEstimates) {
    Filter* e = Base64_CreateEncoder(nullptr);
    EXPECT_EQ(Filter_ConvertLength(e, 3, true), 4u);
    EXPECT_EQ(Filter_ConvertLength(e, 10, true), 14u);
    EXPECT_EQ(Filter_ConvertLength(e, 8, false), 6u);
    ASSERT_EQ(Filter_Write(e, "ab", 2), 2);
    ASSERT_EQ(Filter_End(e), 0);
    EXPECT_EQ(Filter_Write(e, "c", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    char buf[8] = {};
    EXPECT_EQ(Filter_Read(e, buf, 2), 2);
    EXPECT_EQ(Filter_Read(e, buf + 2, 6), 2);
    EXPECT_STREQ(buf, "YWI=");
    EXPECT_EQ(Filter_Read(e, buf, 6), 0);
    Filter_Destroy(&e);
    Filter* d = Base64_CreateDecoder(nullptr, false);
    EXPECT_EQ(Filter_ConvertLength(d, 8, true), 6u);
    EXPECT_EQ(Filter_ConvertLength(d, 3, false), 4u);
    Filter_End(d);
    EXPECT_EQ(Filter_Write(d, "YQ", 2), -1);
    EXPECT_EQ(errno, EPIPE);
    Filter_Destroy(&d);
}

TEST(Base64, RandomRoundTripsThroughChunks) {
    std::mt19937 rng(4648);
    for (size_t len = 0; len <= 4096; len += 1 + rng() % 61) {
        std::string plain(len, '\0');
        for (char& c : plain) c = static_cast<char>(rng());
        std::string enc = Encode(plain);
        ASSERT_EQ(enc.size(), (len + 2) / 3 * 4);
        ASSERT_EQ(Decode(enc, true), plain) << len;
    }
    // Output read between chunks, input split across 1024-byte chunks at
    // every offset mod 4: the same result as one write.
    std::string plain(3000, 'x');
    for (size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<char>(i * 7);
    Filter* e = Base64_CreateEncoder(nullptr);
    std::string byhand;
    for (size_t off = 0; off < plain.size(); off += 5) {
        Filter_Write(e, plain.data() + off, std::min<size_t>(5, plain.size() - off));
        char buf[3];
        int k;
        while ((k = Filter_Read(e, buf, sizeof buf)) > 0) byhand.append(buf, static_cast<size_t>(k));
    }
    Filter_End(e);
    char buf[16];
    int k;
    while ((k = Filter_Read(e, buf, sizeof buf)) > 0) byhand.append(buf, static_cast<size_t>(k));
    Filter_Destroy(&e);
    EXPECT_EQ(byhand, Encode(plain));
}

}  // namespace
