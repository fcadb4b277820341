// Reading the lines of a backup file in both encodings, damaged ones
// included, and writing records.
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/utf16_file.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "listing_fixture.h"

namespace tavrik::test {
namespace {

class BackupFileTest : public ::testing::Test {
protected:
    // Reads every line of `bytes` in `encoding`.
    std::vector<BackupLine> Lines(const std::string& bytes, BackupLineReader::Encoding encoding,
                                  bool* failed = nullptr) {
        FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
        if (bytes.empty()) file = fopen("/dev/null", "rb");
        EXPECT_NE(file, nullptr);
        std::vector<BackupLine> lines;
        {
            BackupLineReader reader(file, encoding);
            BackupLine line;
            while (reader.ReadLine(line)) lines.push_back(line);
            if (failed) *failed = reader.Failed();
        }
        fclose(file);
        return lines;
    }
    std::vector<BackupLine> Utf16Lines(const std::wstring& text) {
        return Lines(ToUtf16LeBytes(text), BackupLineReader::Encoding::Utf16Le);
    }
    std::vector<BackupLine> EightBitLines(const std::string& bytes) {
        return Lines(bytes, BackupLineReader::Encoding::EightBit);
    }
};

TEST_F(BackupFileTest, Utf16LinesKeepTheirLineEnds) {
    auto lines = Utf16Lines(L"\"a\",1,\"D:\"\r\n\"b\",1,\"D:\"\r\nlast");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, L"\"a\",1,\"D:\"\r\n");
    EXPECT_EQ(lines[1].text, L"\"b\",1,\"D:\"\r\n");
    EXPECT_EQ(lines[2].text, L"last");
    for (const auto& line : lines) {
        EXPECT_FALSE(line.damaged);
        EXPECT_FALSE(line.overlong);
    }
    // A bare LF ends a line too (the inner breaks of text records).
    lines = Utf16Lines(L"name\n\n   Owner: x\n\r\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3].text, L"\r\n");
    EXPECT_TRUE(Utf16Lines(L"").empty());
}

TEST_F(BackupFileTest, SurrogatePairsBecomeOneCharacterAndLoneOnesDamageTheLine) {
    auto lines = Utf16Lines(L"\U0001F600x\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, L"\U0001F600x\n");
    EXPECT_FALSE(lines[0].damaged);

    std::string bytes = ToUtf16LeBytes(L"a") + std::string("\x00\xD8", 2) + ToUtf16LeBytes(L"b\nok\n");
    lines = Lines(bytes, BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].damaged);
    EXPECT_EQ(lines[0].text, L"a\uFFFDb\n");
    EXPECT_FALSE(lines[1].damaged);

    bytes = std::string("\x00\xDC", 2) + ToUtf16LeBytes(L"\n");
    lines = Lines(bytes, BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].damaged);

    bytes = ToUtf16LeBytes(L"end") + std::string("\x3D\xD8", 2);  // high surrogate, then the end
    lines = Lines(bytes, BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].damaged);
}

TEST_F(BackupFileTest, LongLinesReadAcrossPiecesAndBuffersKeepEveryCharacter) {
    // Plain runs of every length around the reader's pieces, with pairs,
    // NULs and lone halves between them, over several 64 KiB buffers.
    std::wstring text;
    std::vector<std::pair<std::wstring, bool>> expected;  // line, damaged
    for (size_t run : {1u, 255u, 256u, 257u, 511u, 700u, 3000u}) {
        for (int special = 0; special < 3; ++special) {
            std::wstring line(run, L'a' + static_cast<wchar_t>(run % 26));
            line += special == 0 ? L"\U0001F600" : special == 1 ? std::wstring(L"\0", 1) : L"";
            line += std::wstring(run, L'b') + L"\r\n";
            text += line;
            expected.emplace_back(line, special == 1);
        }
    }
    for (int copy = 0; copy < 4; ++copy) text += text;
    std::string bytes = ToUtf16LeBytes(text);
    bytes += std::string("\x00\xDC", 2) + ToUtf16LeBytes(std::wstring(300, L'c') + L"\n");  // a lone low half
    const auto lines = Lines(bytes, BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), expected.size() * 16 + 1);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i % expected.size()].first) << "line " << i;
        EXPECT_EQ(lines[i].damaged, expected[i % expected.size()].second) << "line " << i;
    }
    EXPECT_EQ(lines.back().text, L"\uFFFD" + std::wstring(300, L'c') + L"\n");
    EXPECT_TRUE(lines.back().damaged);
}

TEST_F(BackupFileTest, EveryUnitOfALineIsWidenedAndANulAnywhereDamagesIt) {
    // Lines of lengths around the reader's blocks of units, with a unit of
    // every byte pattern, or a NUL, at each position.
    for (size_t length : {1u, 15u, 16u, 17u, 32u, 45u}) {
        for (size_t at = 0; at < length; ++at) {
            for (wchar_t odd : {L'\0', L'\u00E9', L'\u4E2D', L'\uFFFD', L'\u0100'}) {
                std::wstring text(length, L'x');
                text[at] = odd;
                const auto lines = Utf16Lines(text + L"\n");
                ASSERT_EQ(lines.size(), 1u);
                EXPECT_EQ(lines[0].text, text + L"\n") << length << " " << at;
                EXPECT_EQ(lines[0].damaged, odd == L'\0') << length << " " << at;
            }
        }
    }
}

TEST_F(BackupFileTest, OddByteCountDamagesTheLastLineOnly) {
    auto lines = Lines(ToUtf16LeBytes(L"one\r\ntwo") + "x", BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].damaged);
    EXPECT_TRUE(lines[1].damaged);
    EXPECT_EQ(lines[1].text, L"two");

    // Half a code unit after the last line end makes no line of its own.
    lines = Lines(ToUtf16LeBytes(L"one\r\n") + "x", BackupLineReader::Encoding::Utf16Le);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].damaged);
}

TEST_F(BackupFileTest, NulInsideALineDamagesIt) {
    auto lines = Utf16Lines(std::wstring(L"a\0b\nc\n", 6));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].damaged);
    EXPECT_FALSE(lines[1].damaged);
    auto eight = EightBitLines(std::string("a\0b\nc\n", 6));
    ASSERT_EQ(eight.size(), 2u);
    EXPECT_TRUE(eight[0].damaged);
    EXPECT_FALSE(eight[1].damaged);
}

TEST_F(BackupFileTest, LinesOverTheLimitAreMarkedAndTheirRestDropped) {
    const std::wstring fits(kMaxBackupLineUnits - 2, L'a');
    auto lines = Utf16Lines(fits + L"\r\nnext\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[0].overlong);
    EXPECT_EQ(lines[0].text.size(), kMaxBackupLineUnits);

    // One more character: the whole physical line is one overlong line, and
    // what follows its end is read as the next line.
    const std::wstring rest = L"\"\\\\?\\C:\\victim\",1,\"D:P(A;;FA;;;WD)\"\r\n";
    lines = Utf16Lines(std::wstring(kMaxBackupLineUnits - 1, L'a') + rest + L"next\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].overlong);
    EXPECT_EQ(lines[0].text.size(), kMaxBackupLineUnits);
    EXPECT_EQ(lines[1].text, L"next\r\n");

    // Characters above U+FFFF count as the two code units Windows reads.
    lines = Utf16Lines(std::wstring((kMaxBackupLineUnits - 2) / 2, L'\U0001F600') + L"\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].overlong);
    lines = Utf16Lines(std::wstring((kMaxBackupLineUnits - 2) / 2 + 1, L'\U0001F600') + L"\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].overlong);
}

TEST_F(BackupFileTest, EightBitLinesAreUtf8WithCrLfAsLf) {
    auto lines = EightBitLines("\"C:\\\xC3\xA9t\xC3\xA9\",1,\"D:\"\r\nlone\rcr\n\xF0\x9F\x98\x80");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, L"\"C:\\\u00e9t\u00e9\",1,\"D:\"\n");
    EXPECT_EQ(lines[1].text, L"lone\rcr\n");
    EXPECT_EQ(lines[2].text, L"\U0001F600");
    for (const auto& line : lines) EXPECT_FALSE(line.damaged);

    for (const std::string bad : {"\xC3(\n", "\xE9t\xE9\n", "\xC0\xAF\n", "\xED\xA0\x80\n", "\xF4\x90\x80\x80\n"}) {
        lines = EightBitLines(bad);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].damaged) << bad;
    }
}

TEST_F(BackupFileTest, EightBitLinesOverTheLimit) {
    auto lines = EightBitLines(std::string(kMaxBackupLineUnits - 1, 'a') + "\r\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(lines[0].overlong);  // CR LF arrives as one LF
    lines = EightBitLines(std::string(kMaxBackupLineUnits, 'a') + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].overlong);
    EXPECT_EQ(lines[1].text, L"next\n");
    lines = EightBitLines(std::string(kMaxBackupLineUnits * 5, 'a') + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].overlong);
    EXPECT_LE(lines[0].text.size(), kMaxBackupLineUnits);
}

TEST_F(BackupFileTest, ReadErrorIsNotTheEndOfTheFile) {
    // A directory opens but cannot be read.
    FILE* file = fopen("/", "rb");
    ASSERT_NE(file, nullptr);
    BackupLineReader reader(file, BackupLineReader::Encoding::Utf16Le);
    BackupLine line;
    EXPECT_FALSE(reader.ReadLine(line));
    EXPECT_TRUE(reader.Failed());
    fclose(file);
}

TEST_F(BackupFileTest, CreateTruncatesAndWritesTheMarkThenRecords) {
    const std::string path = ::testing::TempDir() + "/tavrik-backup-file-test.txt";
    ListingTest::WriteBytes(path, "old contents that must go");
    std::wstring wide(path.begin(), path.end());
    FILE* file = CreateBackupFile(wide);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(WriteBackupRecord(file, L"\"a\",1,\"D:\""));
    EXPECT_TRUE(WriteBackupRecord(file, L"name\n\n   Owner: x\n"));
    fclose(file);
    EXPECT_EQ(ListingTest::ReadBytes(path),
              std::string("\xFF\xFE", 2) + ToUtf16LeBytes(L"\"a\",1,\"D:\"\r\nname\n\n   Owner: x\n\r\n"));
    std::remove(path.c_str());

    EXPECT_EQ(CreateBackupFile(L"/nonexistent-dir/x/backup.txt"), nullptr);
    // The mark itself cannot be stored on a full disk.
    EXPECT_EQ(CreateBackupFile(L"/dev/full"), nullptr);
}

// The writer's records are the bytes of the formatted records, whatever
// the name holds.
TEST_F(BackupFileTest, WrittenRecordsAreTheBytesOfFormattedRecords) {
    const std::string path = ::testing::TempDir() + "/tavrik-backup-writer-test.txt";
    const struct {
        std::wstring name;
        DWORD type;
        std::wstring sddl;
    } records[] = {
        {L"\\\\?\\C:\\Data\\report.txt", SE_FILE_OBJECT, L"O:BAG:SYD:AI(A;ID;FA;;;BA)"},
        {L"\"Quoted", SE_SERVICE, L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)"},
        {L"MACHINE\\SOFTWARE\\\U0001F600 caf\u00e9", SE_REGISTRY_KEY, L""},
        {L"\\\\?\\C:\\odd\xDC80byte", SE_FILE_OBJECT, L"D:P"},
        {L"many digits", 4294967295u, L"D:"},
        {L"ten", 10, L"D:"},
    };
    FILE* file = CreateBackupFile(std::wstring(path.begin(), path.end()));
    ASSERT_NE(file, nullptr);
    std::string expected("\xFF\xFE", 2);
    {
        BackupRecordWriter writer(file);
        for (const auto& record : records) {
            writer.AppendSddlRecord(record.name, record.type, record.sddl);
            writer.Append(L"plain line");
            // The same record with its text converted beforehand.
            std::string encoded;
            AppendUtf16Le(encoded, record.sddl);
            writer.AppendSddlRecordEncoded(record.name, record.type, encoded);
            const std::string formatted = ToUtf16LeBytes(FormatSddlRecord(record.name, record.type, record.sddl) + L"\r\n");
            expected += formatted + ToUtf16LeBytes(L"plain line\r\n") + formatted;
        }
        EXPECT_GT(writer.Pending(), 0u);
        ASSERT_TRUE(writer.Flush());
        EXPECT_EQ(writer.Pending(), 0u);
    }
    fclose(file);
    EXPECT_EQ(ListingTest::ReadBytes(path), expected);
    std::remove(path.c_str());
}

// Records are encoded sixteen characters at a time while they lie below
// U+10000: a character on either side of that line and of the signed
// 16-bit range, at every place of a text of two blocks and a tail, encodes
// as the one-by-one conversion does, after what the buffer holds already.
TEST_F(BackupFileTest, EachCharacterIsEncodedWhereverItStands) {
    const wchar_t cases[] = {L'A', L'\u00e9', L'\u7fff', L'\u8000', L'\uffff', static_cast<wchar_t>(0x10000),
                             static_cast<wchar_t>(0x1F600), static_cast<wchar_t>(0x110000),
                             static_cast<wchar_t>(0xD800)};
    for (wchar_t c : cases) {
        for (size_t at = 0; at < 37; ++at) {
            std::wstring text;
            for (size_t i = 0; i < 37; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
            text[at] = c;
            std::string out = "kept";
            AppendUtf16Le(out, text);
            EXPECT_EQ(out, "kept" + ToUtf16LeBytes(text)) << std::hex << static_cast<unsigned>(c) << " at " << at;
        }
    }
}

// A block the file does not take whole is cut off again: the file ends
// with the last whole record, and the next block follows that record.
TEST_F(BackupFileTest, ABlockTheFileDoesNotTakeIsCutOffAgain) {
    const std::string path = ::testing::TempDir() + "/tavrik-backup-cut-test.txt";
    FILE* file = CreateBackupFile(std::wstring(path.begin(), path.end()));
    ASSERT_NE(file, nullptr);
    BackupRecordWriter writer(file);
    writer.Append(L"\"first\",1,\"D:\"");
    ASSERT_TRUE(writer.Flush());
    const std::string stored = ListingTest::ReadBytes(path);

    struct rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = stored.size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    writer.Append(L"\"second, longer than the room left\",1,\"D:\"");
    const bool written = writer.Flush();
    const int error = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(writer.Pending(), 0u);
    EXPECT_EQ(ListingTest::ReadBytes(path), stored);

    writer.Append(L"\"third\",1,\"D:\"");
    ASSERT_TRUE(writer.Flush());
    fclose(file);
    EXPECT_EQ(ListingTest::ReadBytes(path), stored + ToUtf16LeBytes(L"\"third\",1,\"D:\"\r\n"));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tavrik::test
