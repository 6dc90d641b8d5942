// The one text codec: 8-bit text to UTF-8 and back, and how a configuration
// file's encoding is recognised and kept through a load and a save.
#include "config/ConfigFile.h"
#include "config/TextCodec.h"
#include "config_samples.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

using namespace pmv;

namespace {

TEST(TextCodec, Utf8ToEightBit) {
    struct Row {
        const char* why;
        std::string in;
        TUtf8Status status;
        std::string text;
        char32_t unfit;
    };
    // clang-format off
    const Row rows[] = {
        {"ASCII",                    "SPD = 12",            TUtf8Status::Ok,         "SPD = 12",       0},
        {"two-byte characters",      "caf\xC3\xA9 \xC3\xBF", TUtf8Status::Ok,        "caf\xE9 \xFF",   0},
        {"euro sign has no 8-bit form", "5 \xE2\x82\xAC",   TUtf8Status::DoesNotFit, "",               0x20AC},
        {"four-byte character",      "\xF0\x9F\x98\x80",    TUtf8Status::DoesNotFit, "",               0x1F600},
        {"lone 8-bit byte",          "caf\xE9",             TUtf8Status::NotUtf8,    "",               0},
        {"overlong slash",           "\xC0\xAF",            TUtf8Status::NotUtf8,    "",               0},
        {"surrogate",                "\xED\xA0\x80",        TUtf8Status::NotUtf8,    "",               0},
        {"cut short",                "ab\xC3",              TUtf8Status::NotUtf8,    "",               0},
        {"continuation byte alone",  "\x80",                TUtf8Status::NotUtf8,    "",               0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        const TUtf8Conversion c = Utf8ToEightBit(row.in);
        EXPECT_EQ(c.status, row.status);
        EXPECT_EQ(c.text, row.text);
        EXPECT_EQ(c.unfit, row.unfit);
    }
    // Every 8-bit character survives the way out and back; a character split
    // across two pieces still decodes.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string utf8 = EightBitToUtf8(all);
    EXPECT_EQ(Utf8ToEightBit(utf8).text, all);
    TUtf8Decoder d;
    std::string out;
    d.Feed(utf8.substr(0, 201), out); // ends inside a two-byte character
    d.Feed(utf8.substr(201), out);
    EXPECT_EQ(d.Finish(), TUtf8Status::Ok);
    EXPECT_EQ(out, all);
    EXPECT_EQ(DescribeCharacter(0x20AC), "'\xE2\x82\xAC' (U+20AC)");
}

// A file saved by an editor that writes UTF-8 reads as the 8-bit text the
// window shows, and is saved back as UTF-8; every other file byte for byte.
TEST(TextCodec, ConfigurationKeepsTheEncodingItCameIn) {
    const std::string kuehl = "K\xFChlk\xF6rper"; // 8-bit
    struct Row {
        const char* why;
        std::string title; // as stored in the file
        TTextEncoding encoding;
        std::string read; // the title the reader gives
    };
    // clang-format off
    const Row rows[] = {
        {"UTF-8",                 EightBitToUtf8(kuehl), TTextEncoding::Utf8,     kuehl},
        {"8-bit",                 kuehl,                 TTextEncoding::EightBit, kuehl},
        {"ASCII",                 "Pump",                TTextEncoding::EightBit, "Pump"},
        {"UTF-8 beyond 8 bits",   "5 \xE2\x82\xAC",      TTextEncoding::EightBit, "5 \xE2\x82\xAC"},
        // 75 characters in 150 bytes: lengths count characters
        {"longest UTF-8 title",   EightBitToUtf8(std::string(75, '\xE4')), TTextEncoding::Utf8,
                                  std::string(75, '\xE4')},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        TConfigSet set = test::SampleSet();
        set.Title = row.title;
        for (int p = 0; p < kPageCount; ++p) // the sample's 8-bit captions would decide
            set.PageCaptions[p] = "Page";
        for (TCmdRecord& r : set.CmdTable)
            r.str = r.cmd_descr = {};
        const std::string file = WriteConfig(set);
        const TConfigReadResult r = ReadConfig(file);
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Encoding, row.encoding);
        EXPECT_EQ(r.Set.Title, row.read);

        const std::string path = ::testing::TempDir() + "pmv-codec.ini";
        ASSERT_TRUE(SaveConfigFile(path, r.Set, r.Encoding).Ok);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), file); // byte for byte
        const TConfigLoadResult back = LoadConfigFile(path);
        EXPECT_EQ(back.Encoding, row.encoding);
        EXPECT_EQ(back.Set, r.Set);
        std::remove(path.c_str());
    }
}

} // namespace
