#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "aStream.h"
#include "memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A scripted transport: each read takes the next step (a byte or a code);
// an empty script answers `whenEmpty`. Writes are recorded per call.
struct Script {
    struct Step {
        aErr code;
        uint8_t byte;
    };
    std::deque<Step> steps;
    aErr whenEmpty = aErrNotReady;
    int gets = 0;
    int puts = 0;
    int writes = 0;
    int putFailAt = -1;  // put number (0-based) that fails with aErrIO
    Bytes written;
    std::vector<size_t> writeSizes;
    int deletes = 0;
    aErr deleteResult = aErrNone;

    void Bytes_(const Bytes& bytes) {
        for (uint8_t b : bytes) steps.push_back({aErrNone, b});
    }
    void Code(aErr code) { steps.push_back({code, 0}); }
};

aErr ScriptGet(uint8_t* out, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->gets++;
    if (s->steps.empty()) return s->whenEmpty;
    Script::Step step = s->steps.front();
    s->steps.pop_front();
    if (step.code == aErrNone) *out = step.byte;
    return step.code;
}

aErr ScriptPut(const uint8_t* in, void* ref) {
    Script* s = static_cast<Script*>(ref);
    if (s->puts++ == s->putFailAt) return aErrIO;
    s->written.push_back(*in);
    return aErrNone;
}

aErr ScriptWrite(const uint8_t* data, size_t length, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->writes++;
    s->writeSizes.push_back(length);
    s->written.insert(s->written.end(), data, data + length);
    return aErrNone;
}

aErr ScriptDelete(void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->deletes++;
    return s->deleteResult;
}

// The stream does not own the script here: its delete only counts.
struct ScriptStream {
    Script script;
    aStream* stream = nullptr;
    explicit ScriptStream(bool withWrite = true, bool withGet = true, bool withPut = true) {
        stream = aStream_Create(withGet ? ScriptGet : nullptr, withPut ? ScriptPut : nullptr,
                                withWrite ? ScriptWrite : nullptr, ScriptDelete, &script);
    }
    ~ScriptStream() {
        if (stream) aStream_Destroy(&stream);
    }
};

TEST(Stream, CreateValidateDestroy) {
    Script script;
    script.deleteResult = aErrBusy;
    aStream* s = aStream_Create(ScriptGet, ScriptPut, ScriptWrite, ScriptDelete, &script);
    ASSERT_TRUE(aVALIDSTREAM(s));
    EXPECT_FALSE(aVALIDSTREAM(nullptr));
    // The delete procedure's result is the result; the pointer is cleared.
    EXPECT_EQ(aStream_Destroy(&s), aErrBusy);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(script.deletes, 1);
    // Destroying again (none) is a parameter error and calls nothing.
    EXPECT_EQ(aStream_Destroy(&s), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    EXPECT_EQ(script.deletes, 1);
}

TEST(Stream, ShortReadIsPushedBackAndServedWithoutTheTransport) {
    ScriptStream ss;
    ss.script.Bytes_({0x11, 0x22});
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aStream_Read(ss.stream, buffer, 4), aErrNotReady);
    EXPECT_EQ(buffer[0], 0xEE) << "caller's buffer must be untouched";
    int getsBefore = ss.script.gets;
    EXPECT_EQ(aStream_Read(ss.stream, buffer, 2), aErrNone);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[1], 0x22);
    EXPECT_EQ(ss.script.gets, getsBefore) << "pushed-back bytes must not call the transport";
}

TEST(Stream, PushBackBytesComeBeforeTransportBytesInOrder) {
    ScriptStream ss;
    ss.script.Bytes_({0x01, 0x02, 0x03});
    uint8_t buffer[8];
    EXPECT_EQ(aStream_Read(ss.stream, buffer, 5), aErrNotReady);
    ss.script.Bytes_({0x04, 0x05});
    ASSERT_EQ(aStream_Read(ss.stream, buffer, 5), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST(Stream, PushBackBufferGrowsAndKeepsOrder) {
    // 1500 bytes pushed back force two growth steps of the 512-byte buffer,
    // after the ring has wrapped once.
    ScriptStream ss;
    ss.script.Bytes_({0xA0, 0xA1, 0xA2});
    uint8_t small[4];
    ASSERT_EQ(aStream_Read(ss.stream, small, 4), aErrNotReady);
    ASSERT_EQ(aStream_Read(ss.stream, small, 2), aErrNone);  // ring read index now at 2
    Bytes data(1500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ss.script.Bytes_(data);
    Bytes buffer(1600);
    ASSERT_EQ(aStream_Read(ss.stream, buffer.data(), buffer.size()), aErrNotReady);
    Bytes expected = {0xA2};
    expected.insert(expected.end(), data.begin(), data.end());
    Bytes out(expected.size());
    ASSERT_EQ(aStream_Read(ss.stream, out.data(), out.size()), aErrNone);
    EXPECT_EQ(out, expected);
}

TEST(Stream, ReadEndAndFailureCodes) {
    {
        // End of data: the bytes before the end are copied, the code returned.
        ScriptStream ss;
        ss.script.Bytes_({0x31, 0x32});
        ss.script.whenEmpty = aErrEOF;
        uint8_t buffer[4] = {0, 0, 0xEE, 0xEE};
        EXPECT_EQ(aStream_Read(ss.stream, buffer, 4), aErrEOF);
        EXPECT_EQ(buffer[0], 0x31);
        EXPECT_EQ(buffer[1], 0x32);
        EXPECT_EQ(buffer[2], 0xEE);
    }
    {
        // Any other failure is returned and the bytes taken are lost.
        ScriptStream ss;
        ss.script.Bytes_({0x31});
        ss.script.Code(aErrIO);
        ss.script.Bytes_({0x33});
        uint8_t buffer[2] = {0xEE, 0xEE};
        EXPECT_EQ(aStream_Read(ss.stream, buffer, 2), aErrIO);
        EXPECT_EQ(buffer[0], 0xEE);
        ASSERT_EQ(aStream_Read(ss.stream, buffer, 1), aErrNone);
        EXPECT_EQ(buffer[0], 0x33);
    }
}

TEST(Stream, ArgumentAndModeErrors) {
    ScriptStream full;
    ScriptStream noGet(true, false, true);
    ScriptStream writeOnlyNone(false, true, false);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Read(full.stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(noGet.stream, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Write(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Write(full.stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(writeOnlyNone.stream, &b, 1), aErrMode);
    EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
    const uint8_t delim = 0;
    size_t count = 0;
    EXPECT_EQ(aStream_ReadRecord(full.stream, &b, &count, 1, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(full.stream, &b, &count, 1, &delim, 0), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(full.stream, &b, 1, &delim, 0), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(full.stream, nullptr, 1, &delim, 1), aErrParam);
    EXPECT_EQ(aStream_Flush(full.stream, nullptr), aErrParam);
    EXPECT_EQ(aStream_Flush(noGet.stream, full.stream), aErrMode);
    EXPECT_EQ(aStream_Flush(full.stream, writeOnlyNone.stream), aErrMode);
}

TEST(Stream, WriteUsesPutForOneByteAndOneWriteForARun) {
    ScriptStream ss;
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(aStream_Write(ss.stream, data, 1), aErrNone);
    EXPECT_EQ(ss.script.puts, 1);
    EXPECT_EQ(ss.script.writes, 0);
    ASSERT_EQ(aStream_Write(ss.stream, data, 2), aErrNone);
    EXPECT_EQ(ss.script.writes, 1);
    ASSERT_EQ(aStream_Write(ss.stream, data, 5), aErrNone);
    EXPECT_EQ(ss.script.writes, 2);
    EXPECT_EQ(ss.script.writeSizes, (std::vector<size_t>{2, 5}));
    EXPECT_EQ(ss.script.written, (Bytes{1, 1, 2, 1, 2, 3, 4, 5}));
}

TEST(Stream, WriteWithoutWriteProcPutsEachByteUntilOneFails) {
    ScriptStream ss(false);
    ss.script.putFailAt = 2;
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(aStream_Write(ss.stream, data, 5), aErrIO);
    EXPECT_EQ(ss.script.puts, 3) << "no put after the first failure";
    EXPECT_EQ(ss.script.written, (Bytes{1, 2}));
}

TEST(Stream, CStringRoundTripOverMemoryPair) {
    aStream* a = nullptr;
    aStream* b = nullptr;
    ASSERT_EQ(aStream_CreateMemoryPair(&a, &b, 0), aErrNone);
    ASSERT_EQ(aStream_WriteCString(a, "ab"), aErrNone);
    EXPECT_EQ(aStream_MemoryPending(a), 3u);  // a, b and the NUL
    char text[3] = {'x', 'x', 'x'};
    ASSERT_EQ(aStream_ReadCString(b, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "ab");
    // Two bytes filled the record, so its NUL is still waiting.
    uint8_t left = 0xEE;
    ASSERT_EQ(aStream_Read(b, &left, 1), aErrNone);
    EXPECT_EQ(left, 0);

    ASSERT_EQ(aStream_WriteCStringRecord(a, "hello", "\r\n"), aErrNone);
    char line[16];
    ASSERT_EQ(aStream_ReadCStringRecord(b, line, sizeof(line), "\r\n"), aErrNone);
    EXPECT_STREQ(line, "hello");
    uint8_t nul = 0xEE;
    ASSERT_EQ(aStream_Read(b, &nul, 1), aErrNone);
    EXPECT_EQ(nul, 0) << "the delimiter text is written with its NUL";
    aStream_Destroy(&a);
    aStream_Destroy(&b);
}

TEST(Stream, ReadRecordCases) {
    const uint8_t nl = '\n';
    const uint8_t crlf[2] = {'\r', '\n'};
    struct Case {
        const char* name;
        std::string input;
        const uint8_t* delimiter;
        size_t delimiterLength;
        size_t size;
        aErr whenEmpty;
        aErr result;
        std::string record;
        std::string rest;  // what the next reads give
    };
    const std::vector<Case> cases = {
        {"delimited", "abc\nde", &nl, 1, 16, aErrNotReady, aErrNone, "abc", "de"},
        {"full buffer ends the record", "abcdef\n", &nl, 1, 4, aErrNotReady, aErrNone, "abcd",
         "ef\n"},
        {"empty record", "\nx", &nl, 1, 8, aErrNotReady, aErrNone, "", "x"},
        {"end of data after bytes", "ab", &nl, 1, 8, aErrEOF, aErrNone, "ab", ""},
        {"two-byte delimiter", "ab\r\ncd", crlf, 2, 8, aErrNotReady, aErrNone, "ab", "cd"},
        {"partial delimiter is data", "a\r\r\nz", crlf, 2, 8, aErrNotReady, aErrNone, "a\r", "z"},
        {"partial delimiter at a full buffer goes back", "ab\rx", crlf, 2, 2, aErrNotReady,
         aErrNone, "ab", "\rx"},
        {"partial delimiter split by a full buffer", "a\rx", crlf, 2, 2, aErrNotReady, aErrNone,
         "a\r", "x"},
    };
    for (const Case& c : cases) {
        ScriptStream ss;
        ss.script.Bytes_(Bytes(c.input.begin(), c.input.end()));
        ss.script.whenEmpty = c.whenEmpty;
        Bytes buffer(c.size, 0xEE);
        size_t count = 99;
        ASSERT_EQ(aStream_ReadRecord(ss.stream, buffer.data(), &count, c.size, c.delimiter,
                                     c.delimiterLength),
                  c.result)
            << c.name;
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + count), c.record) << c.name;
        std::string rest;
        uint8_t b;
        for (int i = 0; i < 32 && aStream_Read(ss.stream, &b, 1) == aErrNone; ++i) rest += char(b);
        EXPECT_EQ(rest, c.rest) << c.name;
    }
}

TEST(Stream, ReadRecordNotReadyKeepsTheBytesForTheNextCall) {
    ScriptStream ss;
    ss.script.Bytes_({'a', 'b'});
    const uint8_t nl = '\n';
    uint8_t buffer[8];
    size_t count = 0;
    EXPECT_EQ(aStream_ReadRecord(ss.stream, buffer, &count, sizeof(buffer), &nl, 1), aErrNotReady);
    ss.script.Bytes_({'c', '\n'});
    ASSERT_EQ(aStream_ReadRecord(ss.stream, buffer, &count, sizeof(buffer), &nl, 1), aErrNone);
    EXPECT_EQ(std::string(buffer, buffer + count), "abc");
}

TEST(Stream, FlushCopiesUntilTheSourceStops) {
    ScriptStream source;
    source.script.Bytes_({1, 2, 3});
    source.script.whenEmpty = aErrEOF;
    aStreamBufferChar(source.stream, 0x99);  // not consulted by a flush
    ScriptStream dest;
    EXPECT_EQ(aStream_Flush(source.stream, dest.stream), aErrNone);
    EXPECT_EQ(dest.script.written, (Bytes{1, 2, 3}));

    ScriptStream failing;
    failing.script.Bytes_({4});
    failing.script.whenEmpty = aErrTimeout;
    EXPECT_EQ(aStream_Flush(failing.stream, dest.stream), aErrTimeout);

    ScriptStream badDest;
    badDest.script.putFailAt = 0;
    ScriptStream more;
    more.script.Bytes_({5, 6});
    EXPECT_EQ(aStream_Flush(more.stream, badDest.stream), aErrIO);
    EXPECT_EQ(more.script.gets, 1) << "the copy ends at the destination's failure";
}

class FileStream : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/streamtestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::remove((dir + "/data").c_str());
        rmdir(dir.c_str());
    }
    std::string dir;
};

TEST_F(FileStream, WriteThenReadBack) {
    std::string path = dir + "/data";
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    const uint8_t data[] = {'l', 'i', 'n', 'e', '\n', 0x00, 0xFF, 'z'};
    ASSERT_EQ(aStream_Write(out, data, sizeof(data)), aErrNone);
    ASSERT_EQ(aStream_Write(out, data, 1), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(out, &b, 1), aErrMode) << "an output file stream is write-only";
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(aStream_Write(in, data, 1), aErrMode) << "an input file stream is read-only";
    const uint8_t nl = '\n';
    uint8_t record[16];
    size_t count = 0;
    ASSERT_EQ(aStream_ReadRecord(in, record, &count, sizeof(record), &nl, 1), aErrNone);
    EXPECT_EQ(std::string(record, record + count), "line");
    uint8_t rest[8] = {};
    EXPECT_EQ(aStream_Read(in, rest, 8), aErrEOF);
    EXPECT_EQ(Bytes(rest, rest + 4), (Bytes{0x00, 0xFF, 'z', 'l'}));
    // At the end with nothing stored, a record read reports the end.
    EXPECT_EQ(aStream_ReadRecord(in, record, &count, sizeof(record), &nl, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, EveryFailureIsResource) {
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateFileInput((dir + "/missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput((dir + "/data").c_str(), nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput((dir + "/no/such/dir").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput(nullptr, &s), aErrResource);
}

}  // namespace
