// The settings operations against the virtual unit, in each firmware generation: connecting, reading,
// applying and verifying the record with the step named at each failure, and what a file of another
// unit may change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/unit.h"

namespace {

using namespace operations;
using sim::FaultKind;
using Indices = std::vector<uint32_t>;

// The identifiers each generation expects, written out so that a wrong map shows.
struct Generation {
    const char* name;
    sim::UnitConfig config;
    uint32_t read_id, set_id, save_id;
};
const Generation kGenerations[] = {
    {"current", {sim::Generation::Current, {0x00020C00}, 0x00C0FFEE}, 0x370, 0x390, 0x3A0},
    {"patch11", {sim::Generation::Current, {0x00020B00}, 0x00C0FFEE}, 0x376, 0x378, 0x379},
    {"legacy", {sim::Generation::Legacy, {0}, 0x00C0FFEE}, 0x376, 0x378, 0x379},
};

const Settings_t& demo()
{
    static const Settings_t record = sim::make_demo_unit()->working_settings();
    return record;
}

uint32_t word(const Settings_t& r, uint32_t index)
{
    return settings_get_value(&r, static_cast<settings_struct_index>(index));
}

sim::Fault fault(FaultKind kind, uint32_t id, int skip = 0)
{
    return sim::Fault{kind, id, skip, 1, 0, -1};
}

// `first`, every value index, then `last`: the order a read takes.
Indices values_between(Indices first, Indices last = {})
{
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        first.push_back(i);
    }
    first.insert(first.end(), last.begin(), last.end());
    return first;
}

class SettingsOps : public ::testing::TestWithParam<Generation> {
protected:
    void TearDown() override { sim::unplug_all(); }
    // A unit of the generation holding the demo record, opened without the identity exchange (the
    // version cached as its reply would), so that only the connect test pays for a legacy probe.
    void attach()
    {
        unit = support::plug_unit(GetParam().config);
        ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
        cache_whoami_fwversion(GetParam().config.version);
        reset();
    }
    void reset(std::vector<sim::Fault> faults = {})
    {
        unit->load_settings(demo());
        unit->clear_log();
        for (const sim::Fault& f : faults) {
            unit->inject(f);
        }
    }
    RecordRead read(UnreadValues policy = UnreadValues::Stop) { return read_settings(&comms, {policy, {}}); }
    Indices reads() const { return support::request_indices(*unit, GetParam().read_id); }
    Indices sets() const { return support::request_indices(*unit, GetParam().set_id); }
    size_t saves_sent() const { return support::count_requests(*unit, GetParam().save_id); }
    CommsManager comms;
    std::shared_ptr<sim::VirtualUnit> unit;
};

TEST_P(SettingsOps, ConnectOutcomes)
{
    sim::unplug_all();
    EXPECT_EQ(connect_unit(&comms).step, ConnectStep::NotFound);
    unit = support::plug_unit(GetParam().config);
    sim::refuse_opens(L"Failed to open a device with path 'sim:0': Permission denied");
    const Connection refused = connect_unit(&comms);
    sim::refuse_opens(L"");
    EXPECT_EQ(refused.step, ConnectStep::NotOpenable);
    EXPECT_NE(refused.open_error.find("Permission denied"), std::string::npos) << refused.open_error;
    const bool legacy = GetParam().config.generation == sim::Generation::Legacy;
    for (int attempt = 0; attempt < 2; ++attempt) { // a second connect replaces the first link
        unit->clear_log();
        const Connection c = connect_unit(&comms);
        ASSERT_TRUE(c.ok());
        EXPECT_TRUE(c.unit.serial == 0x00C0FFEE && c.unit.firmware.version == GetParam().config.version.version);
        EXPECT_EQ(c.unit.legacy, GetParam().config.version.patch != 12);
        EXPECT_TRUE(c.lock.held() && sim::open_handle_count() == 1);
        // The current identity request first; the legacy one only when that goes unanswered.
        ASSERT_EQ(unit->requests().size(), legacy ? 2u : 1u);
        EXPECT_EQ(uint32_t{unit->requests().front().can_ID}, 0x010u);
        EXPECT_EQ(uint32_t{unit->requests().back().can_ID}, legacy ? 0x123u : 0x010u);
        // A file records no made-up 0.0.0 for a unit that did not say.
        const settings_file::UnitInfo info = unit_info(c.unit);
        EXPECT_TRUE(info.serial == 0x00C0FFEEu && info.firmware.has_value() == !legacy &&
                    info.rc.has_value() == !legacy);
    }
}

TEST_P(SettingsOps, ReadUnderBothPoliciesForUnansweredValues)
{
    attach();
    const RecordRead r = read();
    ASSERT_TRUE(r.ok() && r.checksum_ok);
    EXPECT_EQ(std::memcmp(&r.record, &demo(), sizeof(Settings_t)), 0);
    EXPECT_EQ(reads(), values_between({252, 253, 254, 255}));
    EXPECT_EQ(unit->requests().size(), reads().size());
    // A record that does not match the unit's checksum is read whole, and said to be so.
    Settings_t stale = demo();
    stale.crc32 ^= 1;
    unit->load_settings(stale);
    const RecordRead s = read();
    EXPECT_TRUE(s.ok() && !s.checksum_ok && s.unit_checksum == stale.crc32);
    // Index 7 is the twelfth read. Stopped, nothing more is read; filled, it reads as 0.
    reset({fault(FaultKind::Ignore, GetParam().read_id, 11)});
    const RecordRead stopped = read(UnreadValues::Stop);
    EXPECT_TRUE(stopped.step == ReadStep::Value && stopped.failed_index == 7 && reads().size() == 12);
    reset({fault(FaultKind::Ignore, GetParam().read_id, 11)});
    const RecordRead filled = read(UnreadValues::FillWithZero);
    ASSERT_TRUE(filled.ok() && !filled.checksum_ok);
    EXPECT_EQ(filled.unread, Indices{7});
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        EXPECT_EQ(word(filled.record, i), i == 7 ? 0u : word(demo(), i)) << "index " << i;
    }
    // The magic number, the second header word: filling with zeros is for values only.
    reset({fault(FaultKind::Ignore, GetParam().read_id, 1)});
    const RecordRead header = read(UnreadValues::FillWithZero);
    EXPECT_TRUE(header.step == ReadStep::Header && header.failed_index == SETTINGS_MAGIC_NUM);
    EXPECT_TRUE(header.header_read(SETTINGS_CHECKSUM_INDEX) && !header.header_read(SETTINGS_VERSION));
    EXPECT_EQ(reads(), (Indices{252, 253}));
}

TEST_P(SettingsOps, ApplySendsExactlyTheDifferencesThenCommitsAndVerifies)
{
    attach();
    const RecordRead before = read();
    settings_file::Values v;
    const uint32_t words[] = {150, 45, 0x4E313233, 0x34360000, 0, 0x80112233, map_north_up};
    const auto put = [&](const char* name, int at) { v.put(*settings_file::find_setting(name), &words[at]); };
    put("vne", 0);
    put("vs0", 1); // unchanged: not sent
    reset();
    EXPECT_EQ(apply_settings(&comms, before, settings_file::Values{}).step, ApplyStep::NothingToDo);
    EXPECT_TRUE(unit->requests().empty());
    // Sent in index order; a registration that differs in one word is sent whole.
    put("map_orientation", 6);
    put("registration", 2);
    put("sky_color_upper", 5);
    const Application a = apply_settings(&comms, before, v);
    ASSERT_EQ(a.step, ApplyStep::Done) << int(a.commit.step) << " " << int(a.verification.step);
    const Indices changed = {6, 11, 12, 13, 14, 35};
    EXPECT_TRUE(sets() == changed && a.sent == changed);
    EXPECT_TRUE(saves_sent() == 1 && unit->saves().at(0).crc_received == a.commit.checksum);
    EXPECT_EQ(reads(), values_between({254, 255}, {252}));
    // The unit holds the old record with exactly those words changed, under the checksum sent.
    const Settings_t stored = unit->stored_settings();
    Indices stored_changed;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (std::find(changed.begin(), changed.end(), i) != changed.end()) {
            stored_changed.push_back(word(stored, i));
        } else {
            EXPECT_EQ(word(stored, i), word(demo(), i)) << "index " << i;
        }
    }
    EXPECT_EQ(stored_changed, (Indices{150, 0x4E313233, 0x34360000, 0, 0x80112233, 0}));
    EXPECT_TRUE(stored.crc32 == a.commit.checksum && stored.magic == kSettingsMagic && unit->saves().at(0).matched);
}

// Each way an apply of vs1, vne and vlo can end short, with what was sent and committed by then.
TEST_P(SettingsOps, ApplyStopsAtTheFailedStep)
{
    attach();
    const RecordRead before = read();
    settings_file::Values v;
    for (const auto& [name, value] : {std::pair{"vs1", 60u}, {"vne", 150u}, {"vlo", 110u}}) {
        v.put(*settings_file::find_setting(name), &value);
    }
    const uint32_t set = GetParam().set_id, save = GetParam().save_id;
    const struct {
        std::vector<sim::Fault> faults;
        ApplyStep step;
        CommitStep commit;
        Indices sent;
        Indices reads; // after the writes: the commit's header reads, then the read-back
        bool committed;
    } cases[] = {
        // A refused write: nothing after it, nothing committed.
        {{fault(FaultKind::Nack, set, 1)}, ApplyStep::Send, CommitStep::Done, {3}, {}, false},
        // vne acknowledged but not kept: the checksum sent is not the unit's own, so it refuses the save.
        {{fault(FaultKind::AckNoStore, set, 1)}, ApplyStep::Commit, CommitStep::Confirm, {3, 6, 8}, {254, 255}, false},
        // The same, with a unit that commits whatever checksum it is sent: only the read-back can tell.
        {{fault(FaultKind::AckNoStore, set, 1), fault(FaultKind::SaveUnchecked, save)},
         ApplyStep::Verify,
         CommitStep::Done,
         {3, 6, 8},
         values_between({254, 255}, {252}),
         true},
        // The erase not confirmed. Last: the refusal that follows stays queued for whoever reads next.
        {{fault(FaultKind::Nack, save)}, ApplyStep::Commit, CommitStep::Erase, {3, 6, 8}, {254, 255}, false},
    };
    // The observer hears of each value before it goes, and stops before the second: nothing committed.
    reset();
    Indices heard;
    const Application stopped = apply_settings(&comms, before, v, [&](uint32_t index, size_t sent, size_t total) {
        heard.insert(heard.end(), {index, uint32_t(sent), uint32_t(total)});
        return sent < 1;
    });
    EXPECT_TRUE(stopped.step == ApplyStep::Stopped && stopped.stopped_index == VNE_INDEX && saves_sent() == 0);
    EXPECT_EQ(heard, (Indices{3, 0, 3, 6, 1, 3}));
    // Every value as the file asks, but the unit's checksum does not match its record: committed
    // again, nothing sent.
    Settings_t stale = demo();
    stale.crc32 ^= 0x10;
    unit->load_settings(stale);
    const RecordRead stale_read = read();
    unit->clear_log();
    EXPECT_EQ(apply_settings(&comms, stale_read, settings_file::Values{}).step, ApplyStep::Done);
    EXPECT_TRUE(sets().empty());
    EXPECT_EQ(unit->saves().back().crc_received, demo().crc32);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.step) * 10 + int(c.commit));
        reset(c.faults);
        const Application a = apply_settings(&comms, before, v);
        EXPECT_TRUE(a.step == c.step && a.commit.step == c.commit);
        EXPECT_EQ(a.sent, c.sent);
        EXPECT_EQ(sets().size(), c.step == ApplyStep::Send ? 2u : 3u);
        EXPECT_EQ(saves_sent(), c.step == ApplyStep::Send ? 0u : 1u);
        EXPECT_EQ(reads(), c.reads);
        if (c.step == ApplyStep::Verify) {
            const Mismatch m = a.verification.mismatches.at(0);
            EXPECT_TRUE(a.verification.mismatches.size() == 1 && m.index == VNE_INDEX && m.expected == 150);
        }
        EXPECT_EQ(unit->stored_settings().vspeeds.Vs1, c.committed ? 60 : demo().vspeeds.Vs1);
    }
}

TEST_P(SettingsOps, VerifyComparesEveryValueAndTheChecksum)
{
    attach();
    EXPECT_TRUE(verify_settings(&comms, demo(), demo().crc32).ok());
    EXPECT_EQ(reads(), values_between({}, {252}));
    // Several settings off, the registration in its middle word: all named, in index order.
    Settings_t other = demo();
    other.vspeeds.Vne = 150;
    other.registration[5] = '6';
    other.emitter_cat = 5;
    other.map_track = map_north_up;
    const Verification off = verify_settings(&comms, other, demo().crc32);
    EXPECT_EQ(off.step, VerifyStep::Values);
    const std::vector<const settings_file::Setting*> named = mismatched_settings(off);
    EXPECT_TRUE(named.size() == 4 && named[1]->name == std::string("registration") && named[3]->first == MAP_DIR_INDEX);
    EXPECT_TRUE(off.mismatches.at(1).read == 0x34350000u && off.mismatches.at(1).expected == 0x34360000u);
    const Verification checksum_off = verify_settings(&comms, demo(), demo().crc32 + 1);
    EXPECT_TRUE(checksum_off.step == VerifyStep::Checksum && checksum_off.stored_checksum == demo().crc32);
    // The read-back's own failures, each after a value time-out (so in one generation only).
    if (GetParam().config.generation == sim::Generation::Current && GetParam().config.version.patch == 12) {
        unit->inject(fault(FaultKind::Ignore, GetParam().read_id, 9));
        const Verification unanswered = verify_settings(&comms, demo(), demo().crc32);
        EXPECT_TRUE(unanswered.step == VerifyStep::ReadValue && unanswered.failed_index == 9);
        unit->inject(fault(FaultKind::Ignore, GetParam().read_id, SETTINGS_LAST_INDEX));
        EXPECT_EQ(verify_settings(&comms, demo(), demo().crc32).step, VerifyStep::ReadChecksum);
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, SettingsOps, ::testing::ValuesIn(kGenerations),
                         [](const auto& info) { return std::string(info.param.name); });

// The aircraft's identity comes only from a file of this very unit, or when asked; everything else
// the file names, always.
TEST(ValuesFromFile, IdentityHeldBackFromAnotherUnitsFile)
{
    using Outcome = std::tuple<FileOrigin, size_t, long>; // origin, identity settings named, words taken
    const auto from = [](const std::string& unit_block, std::optional<uint32_t> serial, bool copy) {
        settings_file::Document doc;
        EXPECT_TRUE(settings_file::read_document(
            R"({"format": "efis-config settings", "format_version": 1, )" + unit_block +
                R"("settings": {"registration": "N12345", "ownship_icao": "ABCDEF", "vne": 150}})",
            &doc, nullptr));
        const FileValues v = values_from_file(doc, serial, demo(), copy); // the demo's: N12345, A1B2C3
        EXPECT_TRUE(v.identity_kept.empty() || v.identity_kept[0]->name == std::string("ownship_icao"));
        return Outcome{v.origin, v.identity_kept.size(),
                       std::count(v.values.present.begin(), v.values.present.end(), true)};
    };
    // Of the identity held back, only what would change is named.
    EXPECT_EQ(from(R"("unit": {"serial": "0x0BADF00D"}, )", 0x00C0FFEE, false), (Outcome{FileOrigin::OtherUnit, 1, 1}));
    EXPECT_EQ(from(R"("unit": {"firmware": "0.2.12"}, )", 0x00C0FFEE, false), (Outcome{FileOrigin::NoUnit, 1, 1}));
    EXPECT_EQ(from(R"("unit": {"serial": "0x00C0FFEE"}, )", std::nullopt, false),
              (Outcome{FileOrigin::OtherUnit, 1, 1}));
    EXPECT_EQ(from(R"("unit": {"serial": "0x00C0FFEE"}, )", 0x00C0FFEE, false), (Outcome{FileOrigin::ThisUnit, 0, 5}));
    EXPECT_EQ(from("", std::nullopt, true), (Outcome{FileOrigin::NoUnit, 0, 5}));
}

} // namespace
