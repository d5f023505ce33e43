#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "Options.h"

using namespace sim;

TEST(SimOptions, ModuleSpecs) {
    ModuleConfig m;
    std::string err;
    ASSERT_TRUE(
        parseModule("serial=40f5849a,model=0x0D,version=2.10.4,build=123,name=Foo,"
                    "address=6,hb=250,features=0",
                    m, err))
        << err;
    EXPECT_EQ(m.serial, 0x40F5849Au);
    EXPECT_EQ(m.model, 13);
    EXPECT_EQ(m.versionMinor, 10u);
    EXPECT_EQ(m.build, 123u);
    EXPECT_EQ(m.name, "Foo");
    EXPECT_EQ(m.address, 6);
    EXPECT_EQ(m.heartbeatMs, 250u);
    EXPECT_EQ(m.features, 0u);
    EXPECT_EQ(m.tcp, "127.0.0.1:0");  // default transport
    ASSERT_TRUE(parseModule("serial=1,pty,usb", m, err));
    EXPECT_TRUE(m.tcp.empty());
    EXPECT_TRUE(m.serialPty && m.usbNode);
    ASSERT_TRUE(parseModule("serial=1,quirk=short-build,error=3/7/6,error=0x5F/1/24", m, err));
    EXPECT_TRUE(m.shortBuildReply);
    ASSERT_EQ(m.forcedErrors.size(), 2u);
    EXPECT_EQ(m.forcedErrors[1].command, 0x5F);
    EXPECT_EQ(m.forcedErrors[1].code, 24);
    ASSERT_TRUE(parseModule("serial=1,router=2,address=4", m, err));
    EXPECT_TRUE(m.tcp.empty());

    const char* bad[] = {"",
                         "model=1",
                         "serial=0",
                         "serial=123456789",
                         "serial=x1",
                         "serial=1,address=3",
                         "serial=1,address=0",
                         "serial=1,address=256",
                         "serial=1,version=2.1",
                         "serial=1,version=2.1.300",
                         "serial=1,tcp=nohost",
                         "serial=1,tcp=h:70000",
                         "serial=1,pty=2",
                         "serial=1,router=2,tcp=127.0.0.1:0",
                         "serial=1,hb=-1",
                         "serial=1,what=1",
                         "serial=1,name=123456789012345678901234567890123",
                         "serial=1,quirk=odd",
                         "serial=1,error=3/7",
                         "serial=1,error=3/64/6",
                         "serial=1,error=3/7/0"};
    for (const char* b : bad) EXPECT_FALSE(parseModule(b, m, err)) << b;
}

TEST(SimOptions, CrossModuleChecks) {
    Options o;
    std::string err;
    using A = std::vector<std::string>;
    EXPECT_TRUE(parseOptions(A{"--module", "serial=2", "--module", "serial=1,router=2,address=4",
                               "--module", "serial=3,router=2,address=6"},
                             o, err))
        << err;
    const A bad[] = {
        {},
        {"--module", "serial=1", "--module", "serial=1,pty"},
        {"--module", "serial=1,router=2,address=4"},
        {"--module", "serial=2", "--module", "serial=1,router=2,address=2"},
        {"--module", "serial=2", "--module", "serial=1,router=2,address=4", "--module",
         "serial=3,router=1,address=6"},
        {"--module", "serial=2", "--module", "serial=1,router=2,address=4", "--module",
         "serial=3,router=2,address=4"},
        {"--module", "serial=1", "--max-seconds", "0"},
        {"--module", "serial=1", "--max-seconds"},
        {"--module", "serial=1", "--fault", "drop=1.5"},
    };
    for (const A& a : bad) {
        Options o2;
        EXPECT_FALSE(parseOptions(a, o2, err)) << (a.empty() ? "(none)" : a.back());
    }
}

TEST(SimOptions, OptionFile) {
    std::string path = ::testing::TempDir() + "/sim_options_test.conf";
    {
        std::ofstream f(path);
        f << "# comment line\n\n  module serial=40F5849A,tcp=127.0.0.1:0   # trailing\n"
          << "max-seconds=7\nfault drop=0.5,seed=3\n";
    }
    Options o;
    std::string err;
    ASSERT_TRUE(parseOptions({"--config", path, "--log", "x.jsonl"}, o, err)) << err;
    ASSERT_EQ(o.modules.size(), 1u);
    EXPECT_EQ(o.modules[0].serial, 0x40F5849Au);
    EXPECT_EQ(o.maxSeconds, 7);
    ASSERT_EQ(o.faults.size(), 1u);
    EXPECT_EQ(o.faults[0].seed, 3u);
    EXPECT_EQ(o.logPath, "x.jsonl");
    std::remove(path.c_str());
    EXPECT_FALSE(parseOptions({"--config", path}, o, err));
}
