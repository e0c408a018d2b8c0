// Streams over scripted in-memory transports and over real files: the push-back ring, the
// all-or-nothing reads, delimited records, C strings, flush and destroy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "TempDir.h"
#include "Holders.h"
#include "aStream.h"

using tftest::TempDir;

namespace {

// A transport that hands out a scripted sequence of bytes and results, then whenEmpty,
// and records what is written to it.
struct Script {
    struct Step {
        bool isByte;
        uint8_t byte;
        aErr err;
    };
    std::deque<Step> input;
    aErr whenEmpty = aErrEOF;
    std::string output;
    int putCalls = 0;
    int writeCalls = 0;
    int deletes = 0;
    int putsBeforeFailure = -1; // put fails (aErrIO) once this many bytes went through
    aErr deleteResult = aErrNone;

    Script& feed(const std::string& bytes) {
        for (char c : bytes)
            input.push_back({true, static_cast<uint8_t>(c), aErrNone});
        return *this;
    }
    Script& fail(aErr err) {
        input.push_back({false, 0, err});
        return *this;
    }
    std::string remaining() const {
        std::string rest;
        for (const Step& step : input)
            if (step.isByte) rest += static_cast<char>(step.byte);
        return rest;
    }

    static aErr get(uint8_t* byte, void* ref) {
        auto* self = static_cast<Script*>(ref);
        if (self->input.empty()) return self->whenEmpty;
        Step step = self->input.front();
        self->input.pop_front();
        if (!step.isByte) return step.err;
        *byte = step.byte;
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* ref) {
        auto* self = static_cast<Script*>(ref);
        if (self->putsBeforeFailure >= 0 && self->putCalls >= self->putsBeforeFailure)
            return aErrIO;
        self->putCalls++;
        self->output += static_cast<char>(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        auto* self = static_cast<Script*>(ref);
        self->writeCalls++;
        self->output.append(reinterpret_cast<const char*>(data), length);
        return aErrNone;
    }
    static aErr release(void* ref) {
        auto* self = static_cast<Script*>(ref);
        self->deletes++;
        return self->deleteResult;
    }
};

using tftest::StreamPtr;

enum Ops : unsigned { kGet = 1, kPut = 2, kWrite = 4, kAll = 7 };

StreamPtr over(Script& script, unsigned ops = kAll) {
    return StreamPtr(
        aStream_Create((ops & kGet) ? Script::get : nullptr, (ops & kPut) ? Script::put : nullptr,
                       (ops & kWrite) ? Script::write : nullptr, Script::release, &script));
}

const uint8_t* bytes(const char* text) {
    return reinterpret_cast<const uint8_t*>(text);
}
const uint8_t* bytes(const std::string& text) {
    return bytes(text.c_str());
}

// Reads n bytes that must all be available; the stream's ring comes first.
std::string readExactly(aStream* stream, size_t n) {
    std::string out(n, '\0');
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(out.data()), n), aErrNone);
    return out;
}

} // namespace

TEST(StreamRing, GrowsBeforeTheByteThatWouldFillIt) {
    Script script;
    StreamPtr stream = over(script);
    std::string pushed;
    for (int i = 0; i < 511; i++) {
        pushed += static_cast<char>(i * 7);
        ASSERT_EQ(aStreamBufferChar(stream.get(), static_cast<uint8_t>(i * 7)), aErrNone);
    }
    EXPECT_EQ(stream->capacity, 512u);
    EXPECT_EQ(stream->count, 511u);

    pushed += 'z';
    ASSERT_EQ(aStreamBufferChar(stream.get(), 'z'), aErrNone);
    EXPECT_EQ(stream->capacity, 1024u);
    EXPECT_EQ(stream->count, 512u);
    EXPECT_EQ(readExactly(stream.get(), 512), pushed);
    EXPECT_EQ(stream->capacity, 1024u) << "the ring never shrinks";
}

// Growing while the held bytes wrap around the end of the ring must keep their order.
TEST(StreamRing, KeepsFifoOrderThroughWrapAndGrowth) {
    Script script;
    StreamPtr stream = over(script);
    std::deque<uint8_t> model;
    uint8_t next = 0;
    const struct {
        int push;
        size_t take;
    } rounds[] = {{300, 200}, {400, 0}, {20, 500}, {900, 100}, {700, 1000}, {600, 1120}};
    for (const auto& round : rounds) {
        for (int i = 0; i < round.push; i++) {
            ASSERT_EQ(aStreamBufferChar(stream.get(), next), aErrNone);
            model.push_back(next++);
        }
        std::string got = readExactly(stream.get(), round.take);
        std::string expected(model.begin(), model.begin() + static_cast<long>(round.take));
        model.erase(model.begin(), model.begin() + static_cast<long>(round.take));
        ASSERT_EQ(got, expected) << "after pushing " << round.push;
        ASSERT_EQ(stream->count, model.size());
    }
    EXPECT_EQ(stream->count, 0u);
}

TEST(StreamRing, RefusesInvalidStream) {
    EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

// A read must not hand out part of what it asked for; the bytes come again next time.
TEST(StreamRead, IsAllOrNothingWhenTransportRunsDry) {
    for (size_t length : {size_t{3}, size_t{1000}}) {
        SCOPED_TRACE(length);
        std::string first(length - 1, 'a');
        first[0] = 'x';
        Script script;
        script.feed(first).fail(aErrNotReady).feed("c");
        StreamPtr stream = over(script);

        std::vector<uint8_t> destination(length, 0xEE);
        EXPECT_EQ(aStream_Read(stream.get(), destination.data(), length), aErrNotReady);
        EXPECT_EQ(destination, std::vector<uint8_t>(length, 0xEE));

        ASSERT_EQ(aStream_Read(stream.get(), destination.data(), length), aErrNone);
        EXPECT_EQ(std::string(destination.begin(), destination.end()), first + "c");
    }
}

TEST(StreamRead, StopsAtEndOfSourceWithTheBytesBeforeIt) {
    Script script;
    script.feed("ab");
    StreamPtr stream = over(script);
    uint8_t destination[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aStream_Read(stream.get(), destination, 3), aErrEOF);
    EXPECT_EQ(destination[0], 'a');
    EXPECT_EQ(destination[1], 'b');
    EXPECT_EQ(destination[2], 0xEE);
}

TEST(StreamRead, RefusesBadArgumentsAndMissingOperation) {
    Script script;
    script.feed("a");
    StreamPtr full = over(script);
    StreamPtr writeOnly = over(script, kPut | kWrite);
    aStream destroyed{};
    uint8_t byte = 0xEE;
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Read(&destroyed, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Read(full.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(writeOnly.get(), &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Read(full.get(), &byte, 0), aErrNone);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(script.remaining(), "a");
}

TEST(StreamWrite, PicksTheTransportOperation) {
    const struct {
        const char* name;
        unsigned ops;
        std::string data;
        int putsBeforeFailure;
        aErr result;
        int putCalls, writeCalls;
        std::string output;
    } cases[] = {
        {"block in one write", kAll, "hello", -1, aErrNone, 0, 1, "hello"},
        {"one byte through put", kAll, "h", -1, aErrNone, 1, 0, "h"},
        {"put only, byte by byte", kPut, "hey", -1, aErrNone, 3, 0, "hey"},
        {"put failure stops the write", kPut, "hello", 2, aErrIO, 2, 0, "he"},
        {"write only still takes one byte", kWrite, "h", -1, aErrNone, 0, 1, "h"},
        {"nothing to write", kAll, "", -1, aErrNone, 0, 0, ""},
        {"no write operation", kGet, "hi", -1, aErrMode, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.putsBeforeFailure = c.putsBeforeFailure;
        StreamPtr stream = over(script, c.ops);
        EXPECT_EQ(aStream_Write(stream.get(), bytes(c.data), c.data.size()), c.result);
        EXPECT_EQ(script.putCalls, c.putCalls);
        EXPECT_EQ(script.writeCalls, c.writeCalls);
        EXPECT_EQ(script.output, c.output);
    }
    Script script;
    StreamPtr stream = over(script);
    EXPECT_EQ(aStream_Write(stream.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, bytes("a"), 1), aErrParam);
}

TEST(StreamRecord, SplitsOnDelimiterOrCapacity) {
    const struct {
        const char* name;
        std::string input;
        size_t capacity;
        std::string delimiter;
        aErr result;
        std::string record;
        std::string left;
    } cases[] = {
        {"CR LF around a record byte", "ab\rc\n", 16, "\r\n", aErrNone, "abc", ""},
        {"capacity reached first", "abcdef", 4, "\n", aErrNone, "abcd", "ef"},
        {"delimiter bytes out of order belong to the record", "a\nb\r\nz", 16, "\r\n", aErrNone,
         "a\nb", "z"},
        {"end of source completes a record", "ab", 16, "\n", aErrNone, "ab", ""},
        {"end of source without record bytes", "", 16, "\n", aErrEOF, "", ""},
        {"only delimiter bytes", "\r\nq", 16, "\r\n", aErrNone, "", "q"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script script;
        script.feed(c.input);
        StreamPtr stream = over(script);
        std::vector<uint8_t> destination(c.capacity + 1, 0xEE);
        uint64_t length = 99;
        EXPECT_EQ(aStream_ReadRecord(stream.get(), destination.data(), &length, c.capacity,
                                     bytes(c.delimiter), c.delimiter.size()),
                  c.result);
        EXPECT_EQ(length, c.record.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(destination.data()), c.record.size()),
                  c.record);
        EXPECT_EQ(destination[c.record.size()], 0xEE) << "nothing past the record";
        EXPECT_EQ(script.remaining(), c.left);
    }
}

// Bytes taken before the transport ran dry, delimiter bytes among them, come back in their
// order: a plain read sees the same sequence, and a record read finishes the record.
TEST(StreamRecord, NotReadyPutsEverythingTakenBack) {
    {
        Script script;
        script.feed("a\rb").fail(aErrNotReady).feed("\nz");
        StreamPtr stream = over(script);
        uint8_t destination[8];
        std::memset(destination, 0xEE, sizeof(destination));
        uint64_t length = 99;
        EXPECT_EQ(aStream_ReadRecord(stream.get(), destination, &length, 8, bytes("\r\n"), 2),
                  aErrNotReady);
        EXPECT_EQ(destination[0], 0xEE);
        EXPECT_EQ(length, 99u);
        EXPECT_EQ(readExactly(stream.get(), 5), "a\rb\nz");
    }
    {
        Script script;
        script.feed("a\r").fail(aErrNotReady).feed("b\n");
        StreamPtr stream = over(script);
        uint8_t destination[8] = {};
        uint64_t length = 0;
        EXPECT_EQ(aStream_ReadRecord(stream.get(), destination, &length, 8, bytes("\r\n"), 2),
                  aErrNotReady);
        EXPECT_EQ(aStream_ReadRecord(stream.get(), destination, &length, 8, bytes("\r\n"), 2),
                  aErrNone);
        EXPECT_EQ(length, 2u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(destination), 2), "ab");
    }
}

TEST(StreamRecord, RefusesBadArguments) {
    Script script;
    script.feed("abc\n");
    StreamPtr stream = over(script);
    uint8_t guard[2] = {0xEE, 0xEE};
    const uint8_t* nl = bytes("\n");
    EXPECT_EQ(aStream_ReadRecord(stream.get(), guard, nullptr, 0, nl, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream.get(), nullptr, nullptr, 2, nl, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream.get(), guard, nullptr, 2, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream.get(), guard, nullptr, 2, nl, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(nullptr, guard, nullptr, 2, nl, 1), aErrParam);
    EXPECT_EQ(guard[0], 0xEE);
    EXPECT_EQ(script.remaining(), "abc\n");

    EXPECT_EQ(aStream_WriteRecord(stream.get(), bytes("a"), 1, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream.get(), bytes("a"), 1, nl, 0), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream.get(), nullptr, 0, nl, 1), aErrParam);
    EXPECT_EQ(script.output, "");
    EXPECT_EQ(aStream_WriteRecord(stream.get(), bytes("ab"), 2, nl, 1), aErrNone);
    EXPECT_EQ(script.output, "ab\n");
}

TEST(StreamCString, WritesTerminatingZeros) {
    Script plain, record;
    StreamPtr a = over(plain), b = over(record);
    EXPECT_EQ(aStream_WriteCString(a.get(), "hi"), aErrNone);
    EXPECT_EQ(plain.output, std::string("hi\0", 3));
    EXPECT_EQ(aStream_WriteCStringRecord(b.get(), "hi", ";"), aErrNone);
    EXPECT_EQ(record.output, std::string("hi;\0", 4));
    EXPECT_EQ(aStream_WriteCString(a.get(), nullptr), aErrParam);
}

TEST(StreamCString, ReadsAndTerminates) {
    Script script;
    script.feed(std::string("hi;\0abc\0defgh", 13));
    StreamPtr stream = over(script);
    char buffer[8];
    ASSERT_EQ(aStream_ReadCStringRecord(stream.get(), buffer, sizeof(buffer), ";"), aErrNone);
    EXPECT_STREQ(buffer, "hi");
    ASSERT_EQ(aStream_ReadCString(stream.get(), buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, "") << "the record's zero stays for the next read";
    ASSERT_EQ(aStream_ReadCString(stream.get(), buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, "abc");
    ASSERT_EQ(aStream_ReadCString(stream.get(), buffer, 4), aErrNone);
    EXPECT_STREQ(buffer, "def") << "size - 1 characters at most";
    EXPECT_EQ(script.remaining(), "gh");
}

TEST(StreamCString, LeavesBufferAloneUnlessComplete) {
    Script script;
    script.feed("ab").fail(aErrNotReady).feed("c");
    script.whenEmpty = aErrNotReady;
    StreamPtr stream = over(script);
    char buffer[4] = {'z', 'z', 'z', 'z'};
    EXPECT_EQ(aStream_ReadCString(stream.get(), buffer, 0), aErrParam);
    EXPECT_EQ(aStream_ReadCString(stream.get(), buffer, 1), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), buffer, 1, ";"), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(aStream_ReadCString(stream.get(), nullptr, 4), aErrParam);
    EXPECT_EQ(script.remaining(), "abc");
    EXPECT_EQ(aStream_ReadCString(stream.get(), buffer, 4), aErrNotReady);
    EXPECT_EQ(std::string(buffer, 4), "zzzz");
}

TEST(StreamFlush, CopiesPushedBackBytesFirst) {
    Script source, destination;
    source.feed("cd");
    StreamPtr from = over(source), to = over(destination);
    ASSERT_EQ(aStreamBufferChar(from.get(), 'a'), aErrNone);
    ASSERT_EQ(aStreamBufferChar(from.get(), 'b'), aErrNone);
    EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrNone);
    EXPECT_EQ(destination.output, "abcd");
}

TEST(StreamFlush, StopsOnTheFirstOtherResult) {
    {
        Script source, destination;
        source.feed("ab").fail(aErrNotReady).feed("c");
        StreamPtr from = over(source), to = over(destination);
        EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrNotReady);
        EXPECT_EQ(destination.output, "ab");
    }
    {
        Script source, destination;
        source.feed("abc");
        destination.putsBeforeFailure = 1;
        StreamPtr from = over(source), to = over(destination);
        EXPECT_EQ(aStream_Flush(from.get(), to.get()), aErrIO);
        EXPECT_EQ(destination.output, "a");
    }
    Script script;
    StreamPtr any = over(script), noGet = over(script, kPut | kWrite), noPut = over(script, kGet);
    EXPECT_EQ(aStream_Flush(noGet.get(), any.get()), aErrMode);
    EXPECT_EQ(aStream_Flush(any.get(), noPut.get()), aErrMode);
    EXPECT_EQ(aStream_Flush(nullptr, any.get()), aErrParam);
    EXPECT_EQ(aStream_Flush(any.get(), nullptr), aErrParam);
}

TEST(StreamDestroy, SecondDestroyThroughSameHandleFreesNothing) {
    Script script;
    script.deleteResult = aErrIO;
    aStream* stream = aStream_Create(Script::get, nullptr, nullptr, Script::release, &script);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(aStreamBufferChar(stream, 'x'), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO) << "the transport's delete result";
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);

    aStream* bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
}

TEST(StreamFile, FlushCopiesAWholeFile) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; i++)
        content += static_cast<char>((i * 31) % 256);
    std::string source = dir.write("in.bin", content);
    dir.write("out.bin", "old content that must go");

    aStream* input = nullptr;
    aStream* output = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(source.c_str(), &input), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput((dir / "out.bin").c_str(), &output), aErrNone);
    EXPECT_EQ(aStream_Flush(input, output), aErrNone);
    EXPECT_EQ(aStream_Destroy(&input), aErrNone);
    EXPECT_EQ(aStream_Destroy(&output), aErrNone);
    EXPECT_EQ(tftest::readFile(dir / "out.bin"), content);
}

TEST(StreamFile, WritesAndReadsBack) {
    TempDir dir;
    std::string path = dir / "f";
    aStream* output = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &output), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(output, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Write(output, bytes("hello"), 5), aErrNone);
    EXPECT_EQ(aStream_Write(output, bytes("!"), 1), aErrNone);
    EXPECT_EQ(aStream_Destroy(&output), aErrNone);

    aStream* input = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &input), aErrNone);
    EXPECT_EQ(aStream_Write(input, bytes("x"), 1), aErrMode);
    EXPECT_EQ(readExactly(input, 6), "hello!");
    EXPECT_EQ(aStream_Read(input, &byte, 1), aErrEOF);
    aStream_Destroy(&input);
}

// stdio takes part of a block it cannot store; the stream must not call that a success.
TEST(StreamFile, WriteOntoFullDeviceFails) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    aStream* output = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput("/dev/full", &output), aErrNone);
    const std::string block(10000, 'f');
    for (int i = 0; i < 4; i++)
        EXPECT_NE(aStream_Write(output, bytes(block), block.size()), aErrNone) << "block " << i;
    aStream_Destroy(&output);
}

TEST(StreamFile, RecordWithoutDelimiterEndsAtEndOfFile) {
    TempDir dir;
    std::string path = dir.write("three", "abc");
    aStream* input = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &input), aErrNone);
    uint8_t record[16];
    uint64_t length = 99;
    EXPECT_EQ(aStream_ReadRecord(input, record, &length, sizeof(record), bytes("\n"), 1), aErrNone);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 3), "abc");
    EXPECT_EQ(aStream_ReadRecord(input, record, &length, sizeof(record), bytes("\n"), 1), aErrEOF);
    EXPECT_EQ(length, 0u);
    aStream_Destroy(&input);
}

TEST(StreamFile, ConstructorsRefuseWithResourceAndStoreNothing) {
    TempDir dir;
    std::string missing = dir / "missing";
    std::string directory = dir.path().string();
    std::string belowMissing = missing + "/f";
    aStream* const sentinel = reinterpret_cast<aStream*>(0x1);
    const struct {
        const char* name;
        aErr (*create)(const char*, aStream**);
        const char* path;
    } cases[] = {
        {"input NULL path", aStream_CreateFileInput, nullptr},
        {"input missing file", aStream_CreateFileInput, missing.c_str()},
        {"output NULL path", aStream_CreateFileOutput, nullptr},
        {"output into a directory", aStream_CreateFileOutput, directory.c_str()},
        {"output below a missing directory", aStream_CreateFileOutput, belowMissing.c_str()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aStream* stream = sentinel;
        EXPECT_EQ(c.create(c.path, &stream), aErrResource);
        EXPECT_EQ(stream, sentinel);
    }
    std::string existing = dir.write("e", "x");
    EXPECT_EQ(aStream_CreateFileInput(existing.c_str(), nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(existing.c_str(), nullptr), aErrResource);
}
