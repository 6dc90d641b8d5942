// Loading and saving by path: unreadable paths, streaming of large files,
// atomic replacement and what is left behind when a save fails.
#include "config/ConfigFile.h"
#include "config_samples.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::SampleSet;

namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = ::testing::TempDir() + "pmvcfgXXXXXX";
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ;
    }
    void TearDown() override {
        ::chmod(m_dir.c_str(), 0755);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    static void WriteBytes(const std::string& path, const std::string& bytes) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << bytes;
        ASSERT_TRUE(f.good());
    }

    static std::string ReadBytes(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

    // Names in the folder, to see that no temporary file is left behind.
    std::set<std::string> Entries() const {
        std::set<std::string> names;
        if (DIR* d = ::opendir(m_dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..")
                    names.insert(n);
            }
            ::closedir(d);
        }
        return names;
    }

    std::string m_dir;
};

TEST_F(ConfigFileTest, LoadsAValidFile) {
    const TConfigSet s = SampleSet();
    WriteBytes(Path("a.ini"), WriteConfig(s));
    const TConfigLoadResult r = LoadConfigFile(Path("a.ini"));
    ASSERT_EQ(r.Status, TConfigLoadStatus::Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
    EXPECT_EQ(r.Message, "");
}

TEST_F(ConfigFileTest, InvalidFileGivesTheReadersMessage) {
    std::string text = WriteConfig(SampleSet());
    text.replace(text.find("parity: even"), 12, "parity: Even");
    WriteBytes(Path("bad.ini"), text);
    const TConfigLoadResult r = LoadConfigFile(Path("bad.ini"));
    EXPECT_EQ(r.Status, TConfigLoadStatus::Invalid);
    EXPECT_EQ(r.Message, "ERROR: - invalid parity: field");
    EXPECT_EQ(r.Line, 8);
    EXPECT_EQ(r.Set, TConfigSet{});
}

TEST_F(ConfigFileTest, PathsThatCannotBeRead) {
    WriteBytes(Path("file"), "x");
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    const std::string paths[] = {
        Path("missing.ini"), // no such file
        m_dir,               // a folder
        m_dir + "/",         // a folder, written with its slash
        Path("file/x.ini"),  // a file used as a folder
        Path("fifo"),        // not a regular file; must not block
        "",
    };
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        const TConfigLoadResult r = LoadConfigFile(p);
        EXPECT_EQ(r.Status, TConfigLoadStatus::CannotOpen);
        EXPECT_EQ(r.Message, "Cannot open file " + p);
    }
}

TEST_F(ConfigFileTest, FileWithoutReadPermission) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not apply to root";
    WriteBytes(Path("secret.ini"), WriteConfig(SampleSet()));
    ASSERT_EQ(::chmod(Path("secret.ini").c_str(), 0200), 0);
    const TConfigLoadResult r = LoadConfigFile(Path("secret.ini"));
    EXPECT_EQ(r.Status, TConfigLoadStatus::CannotOpen);
    EXPECT_EQ(r.Message, "Cannot open file " + Path("secret.ini"));
}

TEST_F(ConfigFileTest, LargeFilesAreCountedNotKept) {
    {
        SCOPED_TRACE("eight million empty lines");
        std::ofstream f(Path("big.ini"), std::ios::binary);
        const std::string chunk(1 << 20, '\n');
        for (int i = 0; i < 8; ++i)
            f << chunk;
    }
    TConfigLoadResult r = LoadConfigFile(Path("big.ini"));
    EXPECT_EQ(r.Status, TConfigLoadStatus::Invalid);
    EXPECT_EQ(r.Message,
              "ERROR: - invalid confguration file size, got 8388608 lines, expected 2134");

    {
        SCOPED_TRACE("2134 lines with a title of 16 MiB");
        std::string text = WriteConfig(SampleSet());
        const std::size_t at = text.find("title: ") + 7;
        text.insert(at, std::string(16 << 20, 'T'));
        WriteBytes(Path("longline.ini"), text);
    }
    r = LoadConfigFile(Path("longline.ini"));
    EXPECT_EQ(r.Status, TConfigLoadStatus::Invalid);
    EXPECT_EQ(r.Message, "ERROR: - invalid title: field");
}

TEST_F(ConfigFileTest, HugePaddingAcrossReadChunks) {
    // A MiB of blanks or zeros in a value: the line spans 16 read chunks.
    const TConfigSet s = SampleSet();
    const std::string blanks(1 << 20, ' ');
    const std::string zeros(1 << 20, '0');
    struct Row {
        const char* name;
        int line;
        std::string text;
        std::string message;                               // empty: loads
        std::function<void(TConfigSet&)> change = nullptr; // what the load changes
    };
    // clang-format off
    const Row rows[] = {
        {"BlanksBeforeInteger",   114, "val_start: " + blanks + "17", "",
         [](TConfigSet& e) { e.CmdTable[8].val_start = 17; }},
        {"ZerosBeforeInteger",    30,  "colour: " + zeros + "5", "",
         [](TConfigSet& e) { e.CmdTable[0].colour = 5; }},
        {"IntegerOutOfRange",     31,  "opts: " + blanks + "32",
         "ERROR: - invalid opts field in command #0 (line #31)"},
        {"BlankAfterInteger",     3,   "vers_minor: " + blanks + "8 ", "ERROR: - invalid vers_minor: field"},
        {"TitleOfBlanks",         11,  "title: " + blanks, "ERROR: - invalid title: field"},
        {"CaptionOfZerosAndText", 15,  "page3_cap: " + zeros + "x", "ERROR: - invalid page3_cap: field"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> lines = pmv::test::SplitCrLf(WriteConfig(s));
        lines[row.line] = row.text;
        WriteBytes(Path("padded.ini"), pmv::test::JoinLines(lines, "\r\n"));
        const TConfigLoadResult r = LoadConfigFile(Path("padded.ini"));
        if (row.message.empty()) {
            ASSERT_EQ(r.Status, TConfigLoadStatus::Ok) << r.Message;
            TConfigSet expected = s;
            row.change(expected);
            EXPECT_EQ(r.Set, expected);
        } else {
            EXPECT_EQ(r.Status, TConfigLoadStatus::Invalid);
            EXPECT_EQ(r.Message, row.message);
        }
    }
}

TEST_F(ConfigFileTest, LineEndSplitAcrossReadChunks) {
    // The file is read in 64 KiB chunks. Pad values with leading blanks so the
    // file spans two chunks, then move one CR LF onto the boundary and around it.
    const TConfigSet s = SampleSet();
    std::string text = WriteConfig(s);
    for (std::size_t at = text.find("val_inc: "); at != std::string::npos;
         at = text.find("val_inc: ", at + 1))
        text.insert(at + 9, std::string(400, ' '));
    ASSERT_GT(text.size(), 70000u);
    for (std::size_t pad : {0u, 1u, 2u}) {
        SCOPED_TRACE(pad);
        std::string padded = text;
        const std::size_t lineStart = padded.find("\r\nval_min: ", 65536 - 3000) + 2;
        const std::size_t cr = padded.find("\r\n", lineStart);
        ASSERT_LT(cr, 65534u);
        padded.insert(lineStart + 9, std::string(65534 + pad - cr, ' '));
        ASSERT_EQ(padded.substr(65534 + pad, 2), "\r\n");
        WriteBytes(Path("chunk.ini"), padded);
        const TConfigLoadResult r = LoadConfigFile(Path("chunk.ini"));
        ASSERT_EQ(r.Status, TConfigLoadStatus::Ok) << r.Message;
        EXPECT_EQ(r.Set, s);
    }
}

TEST_F(ConfigFileTest, SaveWritesTheWritersBytes) {
    const TConfigSet s = SampleSet();
    const TConfigSaveResult r = SaveConfigFile(Path("new.ini"), s);
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_TRUE(r.Warnings.empty());
    EXPECT_EQ(ReadBytes(Path("new.ini")), WriteConfig(s));
    EXPECT_EQ(Entries(), std::set<std::string>{"new.ini"});
    const TConfigLoadResult back = LoadConfigFile(Path("new.ini"));
    ASSERT_EQ(back.Status, TConfigLoadStatus::Ok) << back.Message;
    EXPECT_EQ(back.Set, s);
}

TEST_F(ConfigFileTest, SaveReplacesAndKeepsPermissions) {
    WriteBytes(Path("cfg.ini"), "old content");
    ASSERT_EQ(::chmod(Path("cfg.ini").c_str(), 0640), 0);
    const TConfigSaveResult r = SaveConfigFile(Path("cfg.ini"), SampleSet());
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(ReadBytes(Path("cfg.ini")), WriteConfig(SampleSet()));
    struct stat st {};
    ASSERT_EQ(::stat(Path("cfg.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), std::set<std::string>{"cfg.ini"});
}

TEST_F(ConfigFileTest, SaveThroughASymbolicLinkKeepsTheLink) {
    WriteBytes(Path("real.ini"), "old");
    ASSERT_EQ(::symlink("real.ini", Path("link.ini").c_str()), 0);
    ASSERT_TRUE(SaveConfigFile(Path("link.ini"), SampleSet()).Ok);
    struct stat st {};
    ASSERT_EQ(::lstat(Path("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadBytes(Path("real.ini")), WriteConfig(SampleSet()));
}

TEST_F(ConfigFileTest, SaveThatWillNotLoadBackWarns) {
    TConfigSet s = SampleSet();
    s.BaudRate = QORLNK::br300;
    const TConfigSaveResult r = SaveConfigFile(Path("slow.ini"), s);
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Warnings,
              std::vector<std::string>{
                  "WARNING: - saved file will not load again: invalid baud_rate: field"});
    EXPECT_EQ(ReadBytes(Path("slow.ini")), WriteConfig(s)); // written as the state holds it
}

TEST_F(ConfigFileTest, TargetsThatCannotBeCreated) {
    WriteBytes(Path("file"), "x");
    ASSERT_EQ(::mkdir(Path("folder.ini").c_str(), 0755), 0);
    const std::string paths[] = {
        Path("missing/x.ini"), // no such folder
        Path("file/x.ini"),    // a file used as a folder
        Path("folder.ini"),    // an existing folder
        "",
    };
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        const TConfigSaveResult r = SaveConfigFile(p, SampleSet());
        EXPECT_FALSE(r.Ok);
        EXPECT_EQ(r.Message, "Cannot create file " + p);
        EXPECT_TRUE(r.Warnings.empty());
    }
    EXPECT_EQ(Entries(), (std::set<std::string>{"file", "folder.ini"}));
}

TEST_F(ConfigFileTest, ReadOnlyFileAndFolderAreNotReplaced) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not apply to root";
    WriteBytes(Path("ro.ini"), "old content");
    ASSERT_EQ(::chmod(Path("ro.ini").c_str(), 0444), 0);
    TConfigSaveResult r = SaveConfigFile(Path("ro.ini"), SampleSet());
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Message, "Cannot create file " + Path("ro.ini"));
    EXPECT_EQ(ReadBytes(Path("ro.ini")), "old content");

    ASSERT_EQ(::chmod(Path("ro.ini").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0555), 0);
    r = SaveConfigFile(Path("ro.ini"), SampleSet());
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(ReadBytes(Path("ro.ini")), "old content");
    ASSERT_EQ(::chmod(m_dir.c_str(), 0755), 0);
    EXPECT_EQ(Entries(), std::set<std::string>{"ro.ini"});
}

TEST_F(ConfigFileTest, FailedWriteKeepsTheOldFile) {
    // A file size limit makes the write of the temporary file fail part way,
    // for root as well.
    WriteBytes(Path("keep.ini"), "old content");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const TConfigSaveResult r = SaveConfigFile(Path("keep.ini"), SampleSet());
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Message, "Cannot create file " + Path("keep.ini"));
    EXPECT_EQ(ReadBytes(Path("keep.ini")), "old content");
    EXPECT_EQ(Entries(), std::set<std::string>{"keep.ini"});
}

// On a full disk (a small file system of its own, in a mount namespace of a
// child process) the message says so, and the old file stays as it was.
TEST_F(ConfigFileTest, FullDiskIsReportedAsSuch) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const std::string file = Path("pump.ini");
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        std::string out = "no mount";
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, "size=128k,mode=0700") == 0) {
            const TConfigSet old = SampleSet();
            out = SaveConfigFile(file, old).Message + "\n";
            {
                std::ofstream filler(Path("filler"), std::ios::binary);
                const std::string block(4096, 'x');
                while (filler.write(block.data(), block.size()))
                    filler.flush();
            }
            TConfigSet changed = old;
            changed.Title = "changed";
            out += SaveConfigFile(file, changed).Message + "\n";
            out += ReadBytes(file) == WriteConfig(old) ? "old file intact" : "old file changed";
        }
        (void)!::write(report[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    if (got == "no mount")
        GTEST_SKIP() << "no mount namespace of our own here";
    EXPECT_EQ(got, "\nCannot create file " + file + ": the disk is full\nold file intact");
}

TEST(ConfigFileName, BaseName) {
    EXPECT_EQ(ConfigFileBaseName("/home/op/rigs/pump.ini"), "pump.ini");
    EXPECT_EQ(ConfigFileBaseName("pump.ini"), "pump.ini");
    EXPECT_EQ(ConfigFileBaseName("./a/b.ini"), "b.ini");
    EXPECT_EQ(ConfigFileBaseName(""), "");
}

} // namespace
