// examples/qxm300-pump.ini must be exactly what the writer makes of
// PumpExample(), and must load. Run with PMV_WRITE_EXAMPLES=1 to rewrite it.
#include "config/ConfigFile.h"
#include "pump_example.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

const std::string kPumpFile = std::string(PMV_SOURCE_DIR) + "/examples/qxm300-pump.ini";

TEST(Examples, PumpFileIsTheWritersOutput) {
    const TConfigSet s = test::PumpExample();
    if (std::getenv("PMV_WRITE_EXAMPLES")) {
        const TConfigSaveResult w = SaveConfigFile(kPumpFile, s);
        ASSERT_TRUE(w.Ok) << w.Message;
        EXPECT_TRUE(w.Warnings.empty());
    }
    std::ifstream f(kPumpFile, std::ios::binary);
    std::ostringstream bytes;
    bytes << f.rdbuf();
    EXPECT_EQ(bytes.str(), WriteConfig(s));

    const TConfigLoadResult r = LoadConfigFile(kPumpFile);
    ASSERT_EQ(r.Status, TConfigLoadStatus::Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
}

TEST(Examples, PumpSetIsRealistic) {
    const TConfigSet s = test::PumpExample();
    int defined = 0, txOnChange = 0, disabled = 0;
    bool kinds[6] = {};
    for (const TCmdRecord& r : s.CmdTable) {
        if (!r.defined())
            continue;
        ++defined;
        kinds[r.cmd_type] = true;
        txOnChange += r.has(TxOnValueChange);
        disabled += r.has(Disabled);
        if (r.cmd_type == ctParamGet || r.cmd_type == ctParamGetSet) {
            EXPECT_TRUE(r.has(IncInGetAll) && r.has(UpdateEditOnGet)) << r.cmd_str;
        }
        if (r.cmd_type == ctCommandValue || r.cmd_type >= ctParamSet) {
            EXPECT_LE(r.val_min, r.val_start) << r.cmd_str;
            EXPECT_LE(r.val_start, r.val_max) << r.cmd_str;
        }
    }
    EXPECT_GE(defined, 30);
    EXPECT_LE(defined, 60);
    for (bool k : kinds)
        EXPECT_TRUE(k);
    EXPECT_EQ(txOnChange, 1);
    EXPECT_EQ(disabled, 1);
}

} // namespace
