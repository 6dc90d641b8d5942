// The one text codec, and a configuration file's encoding recognised on
// reading and kept on saving.
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
    // clang-format off
    const struct { const char* why; std::string in; TUtf8Status status; std::string text; } rows[] = {
        {"two-byte characters",         "caf\xC3\xA9 \xC3\xBF", TUtf8Status::Ok,         "caf\xE9 \xFF"},
        {"euro sign has no 8-bit form", "5 \xE2\x82\xAC",       TUtf8Status::DoesNotFit, ""},
        {"lone 8-bit byte",             "caf\xE9",              TUtf8Status::NotUtf8,    ""},
        {"overlong slash",              "\xC0\xAF",             TUtf8Status::NotUtf8,    ""},
        {"surrogate",                   "\xED\xA0\x80",         TUtf8Status::NotUtf8,    ""},
        {"cut short",                   "ab\xC3",               TUtf8Status::NotUtf8,    ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const TUtf8Conversion c = Utf8ToEightBit(row.in);
        EXPECT_EQ(c.status, row.status);
        EXPECT_EQ(c.text, row.text);
    }
    EXPECT_EQ(DescribeCharacter(Utf8ToEightBit("\xE2\x82\xAC").unfit), "'\xE2\x82\xAC' (U+20AC)");
    EXPECT_EQ(BytesToUtf8("a\xFF"), "a\xC3\xBF");
    // Every 8-bit character there and back, a character split across pieces.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::string utf8 = EightBitToUtf8(all);
    TUtf8Decoder d;
    std::string out;
    d.Feed(utf8.substr(0, 201), out); // ends inside a two-byte character
    d.Feed(utf8.substr(201), out);
    EXPECT_EQ(d.Finish(), TUtf8Status::Ok);
    EXPECT_EQ(out, all);
}

// A file an editor saved as UTF-8 reads as the 8-bit text the window shows
// (lengths count characters) and is saved back byte for byte; every other
// file is read and saved as it is.
TEST(TextCodec, ConfigurationKeepsTheEncodingItCameIn) {
    const std::string wide(75, '\xE4'); // the longest title, 150 bytes in UTF-8
    // clang-format off
    const struct { const char* why; std::string title; TTextEncoding encoding; std::string read; } rows[] = {
        {"UTF-8",               EightBitToUtf8(wide), TTextEncoding::Utf8,     wide},
        {"8-bit",               wide,                 TTextEncoding::EightBit, wide},
        {"UTF-8 beyond 8 bits", "5 \xE2\x82\xAC",     TTextEncoding::EightBit, "5 \xE2\x82\xAC"},
    };
    // clang-format on
    const std::string path = ::testing::TempDir() + "pmv-codec.ini";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        TConfigSet set = test::SampleSet();
        set.Title = row.title;
        set.PageCaptions.fill("Page"); // the sample's 8-bit texts would decide
        for (TCmdRecord& r : set.CmdTable)
            r.str = r.cmd_descr = {};
        const std::string file = WriteConfig(set);
        const TConfigReadResult r = ReadConfig(file);
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Encoding, row.encoding);
        EXPECT_EQ(r.Set.Title, row.read);
        ASSERT_TRUE(SaveConfigFile(path, r.Set, r.Encoding).Ok);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), file);
        EXPECT_EQ(LoadConfigFile(path).Encoding, row.encoding);
    }
    std::remove(path.c_str());
}

} // namespace
