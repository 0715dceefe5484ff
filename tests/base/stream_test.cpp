// Stream layer: a function-backed stream over a memory buffer, descriptor
// functions, and base64 through filter streams.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "base/memory/typedmem.h"
#include "base/stream/base64.h"
#include "base/stream/filter.h"
#include "base/stream/stream.h"

namespace {

struct Memory {
    std::string data;
    size_t pos = 0;
    int closed = 0;
};

int MemRead(void* c, char* buf, int n) {
    auto* m = static_cast<Memory*>(c);
    size_t k = std::min(static_cast<size_t>(n), m->data.size() - std::min(m->pos, m->data.size()));
    memcpy(buf, m->data.data() + m->pos, k);
    m->pos += k;
    return static_cast<int>(k);
}
int MemWrite(void* c, const char* buf, int n) {
    auto* m = static_cast<Memory*>(c);
    if (m->pos > m->data.size()) m->data.resize(m->pos);
    m->data.replace(m->pos, std::min(static_cast<size_t>(n), m->data.size() - m->pos), buf, static_cast<size_t>(n));
    m->pos += static_cast<size_t>(n);
    return n;
}
int64_t MemSeek(void* c, int64_t off, int whence) {
    auto* m = static_cast<Memory*>(c);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(m->pos) : static_cast<int64_t>(m->data.size());
    if (base + off < 0) {
        errno = EINVAL;
        return -1;
    }
    m->pos = static_cast<size_t>(base + off);
    return base + off;
}
int MemClose(void* c) {
    static_cast<Memory*>(c)->closed++;
    return 0;
}

TEST(Stream, FunctionBackedStreamOverMemory) {
    Memory m;
    FILE* f = Stream_OpenFunctions(&m, MemRead, MemWrite, MemSeek, MemClose);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(StreamCore_FindByFile(f) != nullptr, true);
    EXPECT_EQ(StreamCore_FindFileOf(StreamCore_FindByFile(f)), f);
    EXPECT_EQ(Stream_GetCookie(f), &m);
    EXPECT_EQ(Stream_GetFd(f), -1);
    EXPECT_GT(Stream_Printf(f, "%d %s %a inf\n", 42, "word", 0.75), 0);
    Stream_PutString("second line\n", f);
    ASSERT_EQ(Stream_Flush(f), 0);
    EXPECT_EQ(m.data, "42 word 0x1.8p-1 inf\nsecond line\n");
    ASSERT_EQ(Stream_SeekOffset(f, 0, SEEK_SET), 0);
    EXPECT_EQ(Stream_TellOffset(f), 0);
    int n = 0;
    char word[16];
    double hex = 0, inf = 0;
    ASSERT_EQ(Stream_Scanf(f, "%d %15s %lf %lf", &n, word, &hex, &inf), 4);
    EXPECT_EQ(n, 42);
    EXPECT_STREQ(word, "word");
    EXPECT_EQ(hex, 0.75);
    EXPECT_TRUE(std::isinf(inf));
    char* line = nullptr;
    size_t cap = 0;
    EXPECT_EQ(Stream_GetLine(&line, &cap, f), 1);  // rest of the first line
    EXPECT_EQ(Stream_GetLine(&line, &cap, f), 12);
    EXPECT_STREQ(line, "second line\n");
    free(line);
    EXPECT_EQ(Stream_GetChar(f), EOF);
    EXPECT_NE(Stream_AtEnd(f), 0);
    StreamRecord* rec = StreamCore_FindByFile(f);
    EXPECT_EQ(Stream_Close(f), 0);
    EXPECT_EQ(m.closed, 1);
    EXPECT_EQ(StreamCore_FindFileOf(rec), nullptr);
}

TEST(Stream, OrdinaryStreamsAndArguments) {
    FILE* tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    EXPECT_EQ(StreamCore_FindByFile(tmp), nullptr);
    EXPECT_EQ(Stream_GetCookie(tmp), nullptr);
    EXPECT_EQ(Stream_GetFd(tmp), fileno(tmp));
    Stream_PutWord(0x12345678, tmp);
    Stream_Rewind(tmp);
    EXPECT_EQ(Stream_GetWord(tmp), 0x12345678);
    // Truncating keeps the descriptor's position.
    int fd = fileno(tmp);
    ASSERT_EQ(write(fd, "abcdef", 6), 6);
    off_t pos = lseek(fd, 0, SEEK_CUR);
    EXPECT_EQ(StreamCore_Truncate(fd, 2), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), pos);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 2);
    Stream_Close(tmp);

    errno = 0;
    EXPECT_EQ(Stream_OpenFunctions(nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(StreamCore_WalkFiles([](void*, FILE*) { return 0; }, nullptr), 0);
}

TEST(Stream, DescriptorReadOfResetConnectionIsEndOfFile) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "hi", 2), 2);
    FILE* f = Stream_OpenFunctions(reinterpret_cast<void*>(static_cast<intptr_t>(sv[0])), StreamCore_FdRead,
                                   StreamCore_FdWrite, nullptr, StreamCore_FdClose);
    ASSERT_NE(f, nullptr);
    char buf[3] = {};
    ASSERT_EQ(Stream_Read(buf, 1, 2, f), 2u);
    EXPECT_STREQ(buf, "hi");
    // The peer closes with unread data: the reader sees a reset.
    ASSERT_EQ(write(sv[0], "x", 1), 1);
    close(sv[1]);
    EXPECT_EQ(Stream_GetChar(f), EOF);
    EXPECT_EQ(Stream_HasError(f), 0);
    EXPECT_EQ(Stream_Close(f), 0);
}

TEST(FilterStream, Base64RoundTripsOfRandomLengths) {
    std::mt19937 rng(1);
    for (size_t len = 0; len <= 4096; len += 1 + rng() % 97) {
        SCOPED_TRACE(len);
        std::string plain(len, '\0');
        for (char& c : plain) c = static_cast<char>(rng());
        Memory encoded;
        FILE* under = Stream_OpenFunctions(&encoded, nullptr, MemWrite, nullptr, MemClose);
        FILE* w = Filter_OpenStream(under, Base64_CreateEncoder(nullptr), 0, "w");
        ASSERT_NE(w, nullptr);
        // Written in odd pieces.
        for (size_t off = 0; off < len; off += 333) Stream_Write(plain.data() + off, 1, std::min<size_t>(333, len - off), w);
        ASSERT_EQ(Stream_Close(w), 0);
        EXPECT_EQ(encoded.closed, 1);
        ASSERT_EQ(encoded.data.size(), (len + 2) / 3 * 4);

        FILE* src = fmemopen(encoded.data.data(), encoded.data.size() + 1, "r");
        Filter* dec = Base64_CreateDecoder(nullptr, false);
        FILE* r = Filter_OpenStream(src, dec, kFilterStreamKeepFilter, "r");
        ASSERT_NE(r, nullptr);
        std::string back;
        char buf[100];
        size_t k;
        while ((k = Stream_Read(buf, 1, sizeof buf, r)) > 0) back.append(buf, k);
        EXPECT_EQ(Stream_Close(r), 0);
        EXPECT_EQ(back, plain);
        // The filter was kept: it has seen the end.
        EXPECT_EQ(Filter_Write(dec, "QQ", 2), -1);
        EXPECT_EQ(errno, EPIPE);
        Filter_Destroy(&dec);
    }
    Filter* e = Base64_CreateEncoder(nullptr);
    errno = 0;
    EXPECT_EQ(Filter_OpenStream(stdout, e, 0, "rw"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    Filter_Destroy(&e);
}

}  // namespace
