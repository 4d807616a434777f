#include "model/IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace {

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(data), data.size());
}

// Runs a write that must fail and checks the error's message.
template <typename Write>
void ExpectWriteError(const QString& fileName, Write write) {
    try {
        write();
        ADD_FAILURE() << "the write succeeded";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + fileName.toStdString());
    }
}

class IniFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dir.isValid()); }
    QString Path(const QString& name) const { return Dir.filePath(name); }

    QTemporaryDir Dir;
};

TEST_F(IniFileTest, ReplacingAValueKeepsEveryOtherByte) {
    const QByteArray before = "\xEF\xBB\xBF; settings\r\n"
                              "Count=before any section\r\n"
                              "\r\n"
                              "[Meter]\r\n"
                              "# comment with a byte that is no UTF-8: \xE9\r\n"
                              "  Count = 5  \r\n"
                              "odd line without equals sign\r\n"
                              "count=9\r\n"
                              "\r\n"
                              "[Other]\r\n"
                              "Count=1\r\n"
                              "tail=x";
    QByteArray expected = before;
    expected.replace("  Count = 5  \r\n", "Count=7\r\n");
    const QString path = Path("Settings.ini");
    WriteBytes(path, before);

    TIniFile ini(path);
    ini.WriteInteger("meter", "COUNT", 7);

    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(ini.ReadInteger("Meter", "Count", 0), 7);
    EXPECT_EQ(TIniFile(path).ReadInteger("Meter", "Count", 0), 7);
    EXPECT_EQ(TIniFile(path).ReadInteger("Other", "Count", 0), 1);
}

TEST_F(IniFileTest, NewKeysGoAtTheEndOfTheirSectionAndNewSectionsAtTheEndOfTheFile) {
    struct TCase {
        const char* name;
        std::optional<QByteArray> before; // no file when empty
        const char* section;
        QByteArray after;
    };
    const TCase cases[] = {
        {"new file", std::nullopt, "A", "[A]\nn=2\n"},
        {"empty file", QByteArray(""), "A", "[A]\nn=2\n"},
        {"before blank lines", "[A]\na=1\n\n\n[B]\nb=1\n", "A", "[A]\na=1\nn=2\n\n\n[B]\nb=1\n"},
        {"after comments and odd lines", "[A]\na=1\n;c\nodd\n\n[B]\n", "A",
         "[A]\na=1\n;c\nodd\nn=2\n\n[B]\n"},
        {"empty section", "[A]\n[B]\n", "A", "[A]\nn=2\n[B]\n"},
        {"last line without line end", "[A]\r\na=1", "A", "[A]\r\na=1\r\nn=2"},
        {"new section, CR LF", "[A]\r\na=1\r\n", "B", "[A]\r\na=1\r\n[B]\r\nn=2\r\n"},
        {"new section after blank lines", "[A]\na=1\n\n", "B", "[A]\na=1\n\n[B]\nn=2\n"},
        {"new section, no line end", "[A]\na=1", "B", "[A]\na=1\n[B]\nn=2"},
        {"lines before any section", "n=1\n", "A", "n=1\n[A]\nn=2\n"},
        {"byte order mark", "\xEF\xBB\xBF[A]\n", "A", "\xEF\xBB\xBF[A]\nn=2\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = Path(QString("%1.ini").arg(c.name));
        if (c.before)
            WriteBytes(path, *c.before);

        TIniFile ini(path);
        ini.WriteString(c.section, "n", "2");

        EXPECT_EQ(ReadBytes(path), c.after);
        EXPECT_EQ(TIniFile(path).ReadString(c.section, "n", "def"), "2");
    }
}

TEST_F(IniFileTest, WritesIntegersAndBooleansAsDecimal) {
    const QString path = Path("Settings.ini");
    TIniFile ini(path);
    ini.WriteInteger("S", "neg", -5);
    ini.WriteInteger("S", "min", std::numeric_limits<int>::min());
    ini.WriteBool("S", "on", true);
    ini.WriteBool("S", "off", false);
    ini.WriteBool("S", "on", false);

    EXPECT_EQ(ReadBytes(path), "[S]\nneg=-5\nmin=-2147483648\non=0\noff=0\n");
    EXPECT_EQ(ini.ReadInteger("S", "min", 0), std::numeric_limits<int>::min());
    EXPECT_FALSE(ini.ReadBool("S", "on", true));
}

TEST_F(IniFileTest, SectionAndKeyNamesIgnoreCase) {
    const QString path = Path("Settings.ini");
    WriteBytes(path, "[Meter Setup]\nSample Rate=10\n[Äpfel]\nÖl=3\n");
    TIniFile ini(path);

    EXPECT_EQ(ini.ReadInteger("METER SETUP", "sample rate", 0), 10);
    EXPECT_EQ(ini.ReadInteger("äPFEL", "öL", 0), 3);

    ini.WriteInteger("meter setup", "SAMPLE RATE", 20);
    EXPECT_EQ(ReadBytes(path), "[Meter Setup]\nSample Rate=20\n[Äpfel]\nÖl=3\n");
}

TEST(IniFileParseInteger, AcceptsDecimalAndHexAndNothingElse) {
    constexpr int Min = std::numeric_limits<int>::min();
    constexpr int Max = std::numeric_limits<int>::max();
    const struct {
        const char* text;
        std::optional<int> value;
    } cases[] = {
        {"0", 0},
        {"123", 123},
        {"-45", -45},
        {"+7", 7},
        {"007", 7},
        {"  42\t", 42},
        {"2147483647", Max},
        {"-2147483648", Min},
        {"0x10", 16},
        {"0X1f", 31},
        {"$ff", 255},
        {"$FFFFFFFF", -1},
        {"0x80000000", Min},
        {"-0x10", -16},
        {"-$1", -1},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"abc", std::nullopt},
        {"12abc", std::nullopt},
        {"1 2", std::nullopt},
        {"1.5", std::nullopt},
        {"-", std::nullopt},
        {"+", std::nullopt},
        {"--1", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"0x", std::nullopt},
        {"$", std::nullopt},
        {"0xg", std::nullopt},
        {"0x123456789", std::nullopt},
        {"٣", std::nullopt}, // a digit, but not an ASCII one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int value = 0;
        const bool ok = TIniFile::ParseInteger(c.text, value);
        EXPECT_EQ(ok, c.value.has_value());
        if (ok && c.value) {
            EXPECT_EQ(value, *c.value);
        }
    }
}

TEST_F(IniFileTest, ReadsIntegersAndBooleansWithDefaults) {
    const QString path = Path("Settings.ini");
    WriteBytes(path, "[S]\nquoted=\"0x10\"\njunk=12abc\ntwo=2\nzero=0\nneg=-1\nword=yes\n");
    const TIniFile ini(path);

    EXPECT_EQ(ini.ReadInteger("S", "quoted", 7), 16);
    EXPECT_EQ(ini.ReadInteger("S", "junk", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "missing", 7), 7);

    EXPECT_TRUE(ini.ReadBool("S", "two", false));
    EXPECT_FALSE(ini.ReadBool("S", "zero", true));
    EXPECT_TRUE(ini.ReadBool("S", "neg", false));
    EXPECT_TRUE(ini.ReadBool("S", "word", true));
    EXPECT_FALSE(ini.ReadBool("S", "word", false));
    EXPECT_TRUE(ini.ReadBool("S", "missing", true));
    EXPECT_FALSE(ini.ReadBool("S", "missing", false));
}

TEST_F(IniFileTest, ReadsStringsOrTheDefault) {
    const QString longValue(3000, 'v');
    const QString emojiAtCut = QString(2046, 'e') + "😀";
    const QString path = Path("Settings.ini");
    WriteBytes(path, "before=1\n"
                     "[S]\n"
                     ";comment=1\n"
                     "#hash=1\n"
                     "  spaced  =  a b  \n"
                     "dq=\"  quoted  \"\n"
                     "sq='x'\n"
                     "mixed=\"x'\n"
                     "empty=\n"
                     "k=first\n"
                     "k=second\n"
                     "long=" +
                         longValue.toUtf8() + "\nemoji=" + emojiAtCut.toUtf8() +
                         "\n"
                         "[S]\n"
                         "second=y\n");
    const TIniFile ini(path);
    const QString def = "<def>";
    const struct {
        const char* section;
        const char* key;
        QString expected;
    } cases[] = {
        {"S", "spaced", "a b"},
        {"S", "dq", "  quoted  "},
        {"S", "sq", "x"},
        {"S", "mixed", "\"x'"},
        {"S", "empty", ""},
        {"S", "k", "first"},
        {"S", "long", longValue.left(2047)},
        {"S", "emoji", QString(2046, 'e')},
        {"S", "before", def},
        {"", "before", def},
        {"S", ";comment", def},
        {"S", "#hash", def},
        {"S", "second", def}, // only the first of two equal sections counts
        {"S", "missing", def},
        {"Missing", "k", def},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(ini.ReadString(c.section, c.key, def), c.expected);
    }
    EXPECT_EQ(TIniFile(Path("Missing.ini")).ReadString("S", "k", def), def);
}

TEST_F(IniFileTest, CrLfAndByteOrderMarkReadLikePlainLf) {
    const QByteArray lines[] = {"[A]", "x=1", "", "[B]", "y = two ", "z='3'"};
    for (const char* bom : {"", "\xEF\xBB\xBF"}) {
        for (const char* end : {"\n", "\r\n"}) {
            SCOPED_TRACE(QByteArray(bom).toHex().toStdString() + " " +
                         QByteArray(end).toHex().toStdString());
            QByteArray data = bom;
            for (const QByteArray& line : lines)
                data += line + end;
            const QString path = Path("Settings.ini");
            WriteBytes(path, data);

            const TIniFile ini(path);
            EXPECT_EQ(ini.ReadString("A", "x", "def"), "1");
            EXPECT_EQ(ini.ReadString("B", "y", "def"), "two");
            EXPECT_EQ(ini.ReadString("B", "z", "def"), "3");
        }
    }
}

TEST_F(IniFileTest, RefusesNamesAndValuesThatWouldBreakTheFile) {
    const QByteArray before = "[S]\nk=1\n";
    const QString path = Path("Settings.ini");
    WriteBytes(path, before);
    TIniFile ini(path);
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"S", "k", "a\nb"}, {"S", "k", "a\r\n[X]"}, {"S", "a=b", "1"},
        {"S", ";k", "1"},   {"S", "#k", "1"},       {"S", "", "1"},
        {"S", "[X]", "1"},  {"a]b", "k", "1"},      {"x\ny", "k", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key + "/" + c.value);
        ExpectWriteError(path, [&] { ini.WriteString(c.section, c.key, c.value); });
    }
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(ini.ReadString("S", "k", "def"), "1");
}

// Fails even for root: the folder of the file is a regular file.
TEST_F(IniFileTest, FailingWriteRaisesAndKeepsEarlierKeys) {
    const QByteArray plain = "not a folder";
    WriteBytes(Path("file.txt"), plain);
    const QString blocked = Path("file.txt/Einstellungen-ä.ini");
    TIniFile blockedIni(blocked);
    ExpectWriteError(blocked, [&] { blockedIni.WriteInteger("S", "k", 1); });
    EXPECT_EQ(blockedIni.ReadInteger("S", "k", -1), -1);
    EXPECT_EQ(ReadBytes(Path("file.txt")), plain);

    // A file that goes away between writes: the first write stays, the object keeps the old
    // value of the failed key.
    ASSERT_TRUE(QDir(Dir.path()).mkdir("Sub"));
    const QString path = Path("Sub/Settings.ini");
    WriteBytes(path, "[S]\nk=old\n");
    TIniFile ini(path);
    ini.WriteString("S", "a", "1");
    ASSERT_TRUE(QDir(Dir.path()).rename("Sub", "Moved"));
    WriteBytes(Path("Sub"), plain);
    ExpectWriteError(path, [&] { ini.WriteString("S", "k", "new"); });
    EXPECT_EQ(ini.ReadString("S", "k", "def"), "old");
    EXPECT_EQ(ini.ReadString("S", "a", "def"), "1");
    EXPECT_EQ(ReadBytes(Path("Moved/Settings.ini")), "[S]\nk=old\na=1\n");
}

TEST_F(IniFileTest, FileInReadOnlyFolderIsWrittenInPlace) {
    ASSERT_TRUE(QDir(Dir.path()).mkdir("ro"));
    const QString path = Path("ro/Settings.ini");
    WriteBytes(path, "[S]\nk=1\n");
    ASSERT_TRUE(QFile::setPermissions(Path("ro"), QFile::ReadOwner | QFile::ExeOwner));

    TIniFile ini(path);
    ini.WriteInteger("S", "k", 2);
    EXPECT_EQ(ReadBytes(path), "[S]\nk=2\n");

    QFile::setPermissions(Path("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(IniFileTest, PermissionsThatForbidTheWriteRaise) {
    const auto ownerAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    ASSERT_TRUE(QDir(Dir.path()).mkdir("ro"));
    ASSERT_TRUE(QFile::setPermissions(Path("ro"), QFile::ReadOwner | QFile::ExeOwner));
    {
        QFile probe(Path("ro/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QFile::setPermissions(Path("ro"), ownerAll);
            GTEST_SKIP() << "permissions do not stop writes for this user";
        }
    }

    {
        SCOPED_TRACE("new file in a read-only folder");
        const QString path = Path("ro/Settings.ini");
        TIniFile ini(path);
        ExpectWriteError(path, [&] { ini.WriteInteger("S", "k", 1); });
        EXPECT_FALSE(QFile::exists(path));
    }
    QFile::setPermissions(Path("ro"), ownerAll);

    const QByteArray before = "[S]\nk=1\n";
    const struct {
        const char* name;
        QFile::Permissions permissions;
    } cases[] = {
        {"read-only file", QFile::ReadOwner},
        // Nothing of it could be read, so writing would lose the rest of it.
        {"unreadable file", QFile::WriteOwner},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = Path(QString("%1.ini").arg(c.name));
        WriteBytes(path, before);
        ASSERT_TRUE(QFile::setPermissions(path, c.permissions));

        TIniFile ini(path);
        ExpectWriteError(path, [&] { ini.WriteInteger("S", "k", 2); });

        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        EXPECT_EQ(ReadBytes(path), before);
    }
}

} // namespace
