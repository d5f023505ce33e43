#include <gtest/gtest.h>

#include "EventLog.h"
#include "Module.h"
#include "SystemEntity.h"

using namespace sim;

namespace {
struct SimSystem : ::testing::Test {
    EventLog log;
    ModuleConfig config() {
        ModuleConfig c;
        c.serial = 0x40F5849A;
        c.address = 6;
        return c;
    }
    std::vector<Packet> request(Module& m, std::vector<uint8_t> data) {
        Packet p;
        p.address = m.address();
        p.data = std::move(data);
        std::vector<Packet> out;
        m.dispatch(p, out);
        return out;
    }
    std::vector<uint8_t> setName(Module& m, const std::string& name) {
        // chunks of 24 with a sequence byte, as the host sends them
        std::vector<Packet> last;
        size_t pos = 0;
        uint8_t seq = 0;
        do {
            size_t n = std::min<size_t>(24, name.size() - pos);
            bool more = pos + n < name.size();
            std::vector<uint8_t> d{3, 0x80 | 32, 0x20};
            d.insert(d.end(), name.begin() + long(pos), name.begin() + long(pos + n));
            d.push_back(uint8_t(seq++ | (more ? 0x80 : 0)));
            last = request(m, d);
            if (more) {
                EXPECT_TRUE(last.empty());
            }
            pos += n;
        } while (pos < name.size());
        return last.size() == 1 ? last[0].data : std::vector<uint8_t>{};
    }
};
}  // namespace

TEST_F(SimSystem, NameChunksAtTheBoundaries) {
    Module m(config(), log);
    struct Case {
        size_t length;
        std::vector<uint8_t> sequences;
    } cases[] = {{0, {0x00}}, {24, {0x00}}, {25, {0x80, 0x01}}, {32, {0x80, 0x01}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string name(c.length, 'n');
        for (size_t i = 0; i < name.size(); ++i) name[i] = char('a' + i % 26);
        EXPECT_EQ(setName(m, name), std::vector<uint8_t>({3, 0xE0, 0}));
        std::vector<Packet> out = request(m, {3, 0x40 | 32, 0x20});
        ASSERT_EQ(out.size(), c.sequences.size());
        std::string back;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].address, 6);
            EXPECT_EQ(out[i].data.back(), c.sequences[i]);
            back.append(out[i].data.begin() + 3, out[i].data.end() - 1);
        }
        EXPECT_EQ(back, name);
    }
    // 33 bytes is refused and leaves the name alone
    EXPECT_EQ(setName(m, std::string(33, 'x')), std::vector<uint8_t>({3, 0xE0, 0x80, aErrSize}));
    EXPECT_EQ(m.settings().name.size(), 32u);
}

TEST_F(SimSystem, PowerBehaviourConfigMustBeWords) {
    Module m(config(), log);
    EXPECT_EQ(request(m, {3, 0x80 | 31, 0x20, 1, 2, 3, 4, 5, 6, 0})[0].data,
              std::vector<uint8_t>({3, 0xC0 | 31, 0x80, aErrSize}));
    EXPECT_EQ(request(m, {3, 0x80 | 31, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 0})[0].data,
              std::vector<uint8_t>({3, 0xC0 | 31, 0}));
    std::vector<Packet> out = request(m, {3, 0x40 | 31, 0x20});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, std::vector<uint8_t>({3, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0}));
}

TEST_F(SimSystem, SaveResetAndFactoryDefaults) {
    Module m(config(), log);
    request(m, {3, 0x84, 0x20, 1});  // LED on
    EXPECT_EQ(m.takeRebootRequest(), -1);
    EXPECT_EQ(request(m, {3, 0x80 | 11, 0x20})[0].data, std::vector<uint8_t>({3, 0xC0 | 11, 0}));
    EXPECT_EQ(m.takeRebootRequest(), int(m.config().rebootMs));
    EXPECT_EQ(m.takeRebootRequest(), -1);
    request(m, {3, 0x80 | 37, 0x20});
    EXPECT_EQ(m.settings().led, 0);
}

TEST_F(SimSystem, EveryTableOptionAnswersWithItsWidth) {
    Module m(config(), log);
    for (int option = 0; option < 64; ++option) {
        SCOPED_TRACE(option);
        const SystemEntity::Option* o = SystemEntity::find(uint8_t(option));
        std::vector<Packet> out = request(m, {3, uint8_t(0x40 | option), 0x20});
        ASSERT_FALSE(out.empty());
        const std::vector<uint8_t>& d = out[0].data;
        if (!o) {
            EXPECT_EQ(d, std::vector<uint8_t>({3, uint8_t(option), 0x80, aErrInvalidOption}));
            continue;
        }
        if (!o->get) {
            EXPECT_EQ(d[2], 0x80);
            continue;
        }
        size_t want = o->kind == SystemEntity::Kind::Byte  ? 4
                      : o->kind == SystemEntity::Kind::Int ? 7
                                                           : 0;
        if (want) {
            EXPECT_EQ(d.size(), want);
        }
        EXPECT_EQ(d[1], option);
        EXPECT_EQ(d[2], 0);
    }
}
