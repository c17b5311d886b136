// The settings operations against the virtual unit, in both firmware generations: how a connection
// ends, reading under both policies for unanswered values, sending, applying and verifying the
// record, the facts a settings file records about the unit, and the upload files judged before
// anything is sent. What crossed the wire is checked from the unit's frame log.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "comms/can_msg_ids.h"
#include "efis_shared/get_set.h"
#include "operations/operations.h"
#include "sim/hid_backend.h"
#include "tests/support/files.h"
#include "tests/support/unit.h"

namespace {

using operations::ApplyStep;
using operations::CommitStep;
using operations::ConnectStep;
using operations::ReadStep;
using operations::VerifyStep;
using sim::FaultKind;

// The identifiers each generation expects, written out so that a wrong map shows.
struct Generation {
    const char* name;
    sim::UnitConfig config;
    uint32_t read_id, set_id, save_id;
};

void PrintTo(const Generation& g, std::ostream* os)
{
    *os << g.name;
}

const Generation kGenerations[] = {
    {"current", {sim::Generation::Current, {0x00020C00}, 0x00C0FFEE}, 0x370, 0x390, 0x3A0},
    {"patch11", {sim::Generation::Current, {0x00020B00}, 0x00C0FFEE}, 0x376, 0x378, 0x379},
    {"legacy", {sim::Generation::Legacy, {0}, 0x00C0FFEE}, 0x376, 0x378, 0x379},
};

const Settings_t& demo_record()
{
    static const Settings_t r = sim::make_demo_unit()->working_settings();
    return r;
}

uint32_t word(const Settings_t& r, uint32_t index)
{
    return settings_get_value(&r, static_cast<settings_struct_index>(index));
}

void set(Settings_t& r, settings_struct_index index, uint32_t value)
{
    settings_set_value(&r, index, &value);
}

uint32_t le32(const uint8_t* d)
{
    return uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24;
}

sim::Fault fault(FaultKind kind, uint32_t id, int skip = 0, int times = 1)
{
    return sim::Fault{kind, id, skip, times, 0, -1};
}

// Values naming the given settings with the given words (one word each; registration takes three).
settings_file::Values values(std::initializer_list<std::pair<const char*, std::vector<uint32_t>>> named)
{
    settings_file::Values v;
    for (const auto& [name, words] : named) {
        const settings_file::Setting* s = settings_file::find_setting(name);
        EXPECT_NE(s, nullptr) << name;
        if (s != nullptr) {
            v.put(*s, words.data());
        }
    }
    return v;
}

std::vector<std::string> names(const std::vector<const settings_file::Setting*>& settings)
{
    std::vector<std::string> out;
    for (const settings_file::Setting* s : settings) {
        out.emplace_back(s->name);
    }
    return out;
}

class SettingsOps : public ::testing::TestWithParam<Generation> {
protected:
    void TearDown() override
    {
        sim::refuse_opens(L"");
        sim::unplug_all();
    }

    // A unit of the generation holding the demo record, opened without the identity exchange (the
    // version cached as its reply would), so that only the connect tests pay for a legacy probe.
    void attach()
    {
        unit = support::plug_unit(GetParam().config);
        unit->load_settings(demo_record());
        ASSERT_TRUE(comms.connectUSB(vendor_id, product_id));
        cache_whoami_fwversion(GetParam().config.version);
        unit->clear_log();
    }

    operations::RecordRead read(operations::UnreadValues policy = operations::UnreadValues::Stop)
    {
        return operations::read_settings(&comms, {policy, {}});
    }

    // The first data byte of every frame sent with this identifier: the index, for value frames.
    std::vector<uint32_t> indices(uint32_t id) const
    {
        std::vector<uint32_t> out;
        for (const COMMS_MSG_t& f : unit->requests()) {
            if (f.can_ID == id) {
                out.push_back(f.data[0]);
            }
        }
        return out;
    }

    // The value frames sent, as index and word.
    std::vector<std::pair<uint32_t, uint32_t>> writes() const
    {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const COMMS_MSG_t& f : unit->requests()) {
            if (f.can_ID == GetParam().set_id) {
                EXPECT_EQ(int(f.msg_len), int(CAN_5_BYTES));
                out.emplace_back(f.data[0], le32(f.data + 1));
            }
        }
        return out;
    }

    // The checksums carried by the save frames sent.
    std::vector<uint32_t> save_frames() const
    {
        std::vector<uint32_t> out;
        for (const COMMS_MSG_t& f : unit->requests()) {
            if (f.can_ID == GetParam().save_id) {
                EXPECT_EQ(int(f.msg_len), int(CAN_4_BYTES));
                out.push_back(le32(f.data));
            }
        }
        return out;
    }

    CommsManager comms;
    std::shared_ptr<sim::VirtualUnit> unit;
};

// --- connecting --------------------------------------------------------------------------------

TEST_P(SettingsOps, ConnectOutcomes)
{
    EXPECT_EQ(operations::connect_unit(nullptr).step, ConnectStep::NotFound);

    sim::unplug_all();
    EXPECT_EQ(operations::connect_unit(&comms).step, ConnectStep::NotFound);

    unit = support::plug_unit(GetParam().config);
    sim::refuse_opens(L"Failed to open a device with path 'sim:0': Permission denied");
    const operations::Connection refused = operations::connect_unit(&comms);
    EXPECT_EQ(refused.step, ConnectStep::NotOpenable);
    EXPECT_NE(refused.open_error.find("Permission denied"), std::string::npos) << refused.open_error;
    EXPECT_FALSE(comms.isConnected());
    sim::refuse_opens(L"");

    const bool legacy_reply = GetParam().config.generation == sim::Generation::Legacy;
    for (int attempt = 0; attempt < 2; ++attempt) { // a second connect replaces the first link
        unit->clear_log();
        const operations::Connection c = operations::connect_unit(&comms);
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.unit.serial, 0x00C0FFEEu);
        EXPECT_EQ(c.unit.legacy, GetParam().config.version.patch != 12);
        EXPECT_EQ(c.unit.version_reported, !legacy_reply);
        EXPECT_EQ(c.unit.firmware.version, GetParam().config.version.version);
        EXPECT_EQ(sim::open_handle_count(), 1);
        // The current identity request first; the legacy one only when that goes unanswered.
        const std::vector<uint32_t> expected_ids =
            legacy_reply ? std::vector<uint32_t>{0x010, 0x123} : std::vector<uint32_t>{0x010};
        std::vector<uint32_t> ids;
        for (const COMMS_MSG_t& f : unit->requests()) {
            const uint32_t id = f.can_ID; // packed: copied, never bound by reference
            ids.push_back(id);
        }
        EXPECT_EQ(ids, expected_ids);
    }
}

// Opened, but neither identity request answered: four seconds of waiting, so one generation only.
TEST(SettingsOpsConnect, UnitThatDoesNotIdentifyItself)
{
    auto unit = support::plug_unit();
    unit->inject(sim::Fault{FaultKind::Ignore, sim::kAnyId, 0, -1, 0, -1});
    CommsManager comms;
    const operations::Connection c = operations::connect_unit(&comms);
    EXPECT_EQ(c.step, ConnectStep::NoIdentity);
    EXPECT_FALSE(comms.isConnected());
    EXPECT_EQ(sim::open_handle_count(), 0);
    sim::unplug_all();
}

// --- reading -----------------------------------------------------------------------------------

TEST_P(SettingsOps, ReadWholeRecord)
{
    attach();
    const operations::RecordRead r = read();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::memcmp(&r.record, &demo_record(), sizeof(Settings_t)), 0);
    EXPECT_EQ(r.unit_checksum, demo_record().crc32);
    EXPECT_TRUE(r.checksum_ok);
    EXPECT_TRUE(r.unread.empty());
    EXPECT_EQ(r.record.airplane_color, 0xFFFFFFFFu); // a stored all-ones word is a value, not a failure

    std::vector<uint32_t> expected = {252, 253, 254, 255};
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(indices(GetParam().read_id), expected);
    EXPECT_EQ(unit->requests().size(), expected.size());

    // A record that does not match the unit's checksum is read whole, and said to be so.
    Settings_t stale = demo_record();
    stale.crc32 ^= 1;
    unit->load_settings(stale);
    const operations::RecordRead s = read();
    EXPECT_TRUE(s.ok());
    EXPECT_FALSE(s.checksum_ok);
    EXPECT_EQ(s.unit_checksum, stale.crc32);

    CommsManager unconnected;
    for (CommsManager* c : {static_cast<CommsManager*>(nullptr), &unconnected}) {
        const operations::RecordRead n = operations::read_settings(c);
        EXPECT_EQ(n.step, ReadStep::NotConnected);
        EXPECT_FALSE(n.header_read(SETTINGS_CHECKSUM_INDEX));
    }
}

TEST_P(SettingsOps, UnansweredValueUnderBothPolicies)
{
    attach();
    // 252..255 first, then 0..35: index 7 is the twelfth read.
    unit->inject(fault(FaultKind::Ignore, GetParam().read_id, 11));
    const operations::RecordRead stopped = read(operations::UnreadValues::Stop);
    EXPECT_EQ(stopped.step, ReadStep::Value);
    EXPECT_EQ(stopped.failed_index, 7u);
    EXPECT_TRUE(stopped.header_read(SETTINGS_NUM_ELEMENTS));
    EXPECT_EQ(indices(GetParam().read_id).size(), 12u); // nothing read after the failure

    unit->clear_log();
    unit->inject(fault(FaultKind::Ignore, GetParam().read_id, 11));
    const operations::RecordRead filled = read(operations::UnreadValues::FillWithZero);
    ASSERT_TRUE(filled.ok());
    EXPECT_EQ(filled.unread, std::vector<uint32_t>{7});
    EXPECT_EQ(filled.record.vspeeds.VRef, 0);
    EXPECT_FALSE(filled.checksum_ok);
    EXPECT_EQ(filled.unit_checksum, demo_record().crc32);
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        if (i != 7) {
            EXPECT_EQ(word(filled.record, i), word(demo_record(), i)) << "index " << i;
        }
    }
    EXPECT_EQ(indices(GetParam().read_id).size(), 40u);
}

TEST_P(SettingsOps, UnansweredHeaderWordStopsEitherWay)
{
    attach();
    // The magic number, the second header word; filling with zeros is for values only.
    unit->inject(fault(FaultKind::Ignore, GetParam().read_id, 1));
    const operations::RecordRead r = read(operations::UnreadValues::FillWithZero);
    EXPECT_EQ(r.step, ReadStep::Header);
    EXPECT_EQ(r.failed_index, uint32_t{SETTINGS_MAGIC_NUM});
    EXPECT_TRUE(r.header_read(SETTINGS_CHECKSUM_INDEX));
    EXPECT_FALSE(r.header_read(SETTINGS_MAGIC_NUM));
    EXPECT_FALSE(r.header_read(SETTINGS_VERSION));
    EXPECT_EQ(r.unit_checksum, demo_record().crc32);
    EXPECT_EQ(r.record.magic, 0u);
    EXPECT_EQ(indices(GetParam().read_id), (std::vector<uint32_t>{252, 253}));
}

// --- sending -----------------------------------------------------------------------------------

TEST_P(SettingsOps, SendValues)
{
    attach();
    Settings_t record = demo_record();
    set(record, VS1_INDEX, 55);
    set(record, VNE_INDEX, 170);
    set(record, MAP_DIR_INDEX, 0);
    const std::vector<uint32_t> order = {VNE_INDEX, VS1_INDEX, MAP_DIR_INDEX}; // sent as given

    // KeepGoing: the refused value is counted and the rest still go.
    unit->inject(fault(FaultKind::Nack, GetParam().set_id, 1));
    const operations::SendOutcome all =
        operations::send_values(&comms, record, order, operations::RefusedValues::KeepGoing);
    EXPECT_TRUE(all.connected);
    EXPECT_EQ(all.sent, (std::vector<uint32_t>{VNE_INDEX, MAP_DIR_INDEX}));
    EXPECT_EQ(all.refused, std::vector<uint32_t>{VS1_INDEX});
    EXPECT_FALSE(all.stopped);
    EXPECT_EQ(writes(), (std::vector<std::pair<uint32_t, uint32_t>>{{6, 170}, {3, 55}, {35, 0}}));
    const Settings_t working = unit->working_settings();
    EXPECT_EQ(working.vspeeds.Vne, 170);
    EXPECT_EQ(working.vspeeds.Vs1, demo_record().vspeeds.Vs1);
    EXPECT_EQ(working.map_track, 0);
    EXPECT_TRUE(save_frames().empty());

    // Stop: nothing after the refusal.
    unit->load_settings(demo_record());
    unit->clear_log();
    unit->inject(fault(FaultKind::Nack, GetParam().set_id, 1));
    const operations::SendOutcome held =
        operations::send_values(&comms, record, order, operations::RefusedValues::Stop);
    EXPECT_EQ(held.sent, std::vector<uint32_t>{VNE_INDEX});
    EXPECT_EQ(held.refused, std::vector<uint32_t>{VS1_INDEX});
    EXPECT_EQ(indices(GetParam().set_id), (std::vector<uint32_t>{6, 3}));
    EXPECT_EQ(unit->working_settings().map_track, demo_record().map_track);

    // The observer hears of each value before it goes, and may stop before one.
    unit->clear_log();
    std::vector<std::vector<size_t>> heard;
    const operations::SendOutcome stopped =
        operations::send_values(&comms, record, order, operations::RefusedValues::KeepGoing, {},
                                [&](uint32_t index, size_t sent, size_t total) {
                                    heard.push_back({index, sent, total});
                                    return index != MAP_DIR_INDEX;
                                });
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.sent, (std::vector<uint32_t>{VNE_INDEX, VS1_INDEX}));
    EXPECT_EQ(heard, (std::vector<std::vector<size_t>>{{6, 0, 3}, {3, 1, 3}, {35, 2, 3}}));
    EXPECT_EQ(indices(GetParam().set_id), (std::vector<uint32_t>{6, 3}));

    CommsManager unconnected;
    EXPECT_FALSE(operations::send_values(&unconnected, record, order, operations::RefusedValues::Stop).connected);
}

// --- applying ----------------------------------------------------------------------------------

TEST_P(SettingsOps, ApplySendsExactlyTheDifferencesThenCommitsAndVerifies)
{
    attach();
    const operations::RecordRead before = read();
    ASSERT_TRUE(before.ok());

    // Nothing differs: nothing is sent, nothing committed.
    unit->clear_log();
    const operations::Application same = operations::apply_settings(
        &comms, before, values({{"vne", {160}}, {"registration", {0x4E313233, 0x34350000, 0}}}));
    EXPECT_EQ(same.step, ApplyStep::NothingToDo);
    EXPECT_TRUE(same.ok());
    EXPECT_TRUE(unit->requests().empty());

    // Named in any order, sent in index order; an unchanged setting named is not sent, and a
    // registration that differs in one word is sent whole.
    const settings_file::Values v = values({{"map_orientation", {0}},
                                            {"registration", {0x4E313233, 0x34360000, 0}},
                                            {"vs0", {45}},
                                            {"sky_color_upper", {0x80112233}},
                                            {"vne", {150}}});
    const operations::Application a = operations::apply_settings(&comms, before, v);
    ASSERT_EQ(a.step, ApplyStep::Done) << int(a.commit.step) << " " << int(a.verification.step);
    EXPECT_EQ(names(a.plan.changes),
              (std::vector<std::string>{"vne", "registration", "sky_color_upper", "map_orientation"}));
    EXPECT_EQ(writes(), (std::vector<std::pair<uint32_t, uint32_t>>{
                            {6, 150}, {11, 0x4E313233}, {12, 0x34360000}, {13, 0}, {14, 0x80112233}, {35, 0}}));
    EXPECT_EQ(a.sent, (std::vector<uint32_t>{6, 11, 12, 13, 14, 35}));
    ASSERT_EQ(save_frames().size(), 1u);
    EXPECT_EQ(save_frames()[0], a.commit.checksum);
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_TRUE(unit->saves()[0].matched);

    // The unit holds the old record with exactly those words changed, under the checksum sent.
    const Settings_t stored = unit->stored_settings();
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        EXPECT_EQ(word(stored, i), word(a.plan.intended, i)) << "index " << i;
        if (i != 6 && i != 11 && i != 12 && i != 13 && i != 14 && i != 35) {
            EXPECT_EQ(word(stored, i), word(demo_record(), i)) << "index " << i;
        }
    }
    EXPECT_EQ(stored.crc32, a.commit.checksum);
    EXPECT_EQ(stored.magic, kSettingsMagic);
    EXPECT_EQ(a.verification.stored_checksum, a.commit.checksum);
}

TEST_P(SettingsOps, ApplyStopsAtTheFailedStep)
{
    attach();
    const operations::RecordRead before = read();
    ASSERT_TRUE(before.ok());
    const settings_file::Values v = values({{"vs1", {60}}, {"vne", {150}}, {"vlo", {110}}});

    // A refused write: nothing after it, nothing committed.
    unit->clear_log();
    unit->inject(fault(FaultKind::Nack, GetParam().set_id, 1));
    const operations::Application refused = operations::apply_settings(&comms, before, v);
    EXPECT_EQ(refused.step, ApplyStep::Send);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.refused_index, uint32_t{VNE_INDEX});
    EXPECT_EQ(refused.sent, std::vector<uint32_t>{VS1_INDEX});
    EXPECT_EQ(indices(GetParam().set_id), (std::vector<uint32_t>{3, 6}));
    EXPECT_TRUE(save_frames().empty());
    EXPECT_TRUE(unit->saves().empty());

    // The observer stops before the second value: nothing committed either.
    unit->load_settings(demo_record());
    unit->clear_log();
    const operations::Application stopped =
        operations::apply_settings(&comms, before, v, [](uint32_t, size_t sent, size_t) { return sent < 1; });
    EXPECT_EQ(stopped.step, ApplyStep::Stopped);
    EXPECT_EQ(stopped.stopped_index, uint32_t{VNE_INDEX});
    EXPECT_EQ(stopped.sent, std::vector<uint32_t>{VS1_INDEX});
    EXPECT_TRUE(save_frames().empty());

    // A refused commit: the unit acknowledges vne but keeps its old value, so the checksum sent is
    // not its own and it refuses the save after confirming the erase.
    unit->load_settings(demo_record());
    unit->clear_log();
    unit->inject(fault(FaultKind::AckNoStore, GetParam().set_id, 1));
    const operations::Application uncommitted = operations::apply_settings(&comms, before, v);
    EXPECT_EQ(uncommitted.step, ApplyStep::Commit);
    EXPECT_EQ(uncommitted.commit.step, CommitStep::Confirm);
    EXPECT_EQ(uncommitted.sent, (std::vector<uint32_t>{3, 6, 8}));
    EXPECT_EQ(save_frames().size(), 1u);
    ASSERT_EQ(unit->saves().size(), 1u);
    EXPECT_FALSE(unit->saves()[0].committed);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vs1, demo_record().vspeeds.Vs1);
    EXPECT_EQ(indices(GetParam().read_id), (std::vector<uint32_t>{254, 255})); // no read-back

    // The unit acknowledges vne but keeps its old value, and commits whatever checksum it is sent:
    // only the read-back can tell, and it names the setting.
    unit->load_settings(demo_record());
    unit->clear_log();
    unit->inject(fault(FaultKind::AckNoStore, GetParam().set_id, 1));
    unit->inject(fault(FaultKind::SaveUnchecked, GetParam().save_id));
    const operations::Application forgot = operations::apply_settings(&comms, before, v);
    EXPECT_EQ(forgot.step, ApplyStep::Verify);
    EXPECT_FALSE(forgot.ok());
    EXPECT_EQ(forgot.verification.step, VerifyStep::Values);
    ASSERT_EQ(forgot.verification.mismatches.size(), 1u);
    const operations::Mismatch m = forgot.verification.mismatches[0];
    EXPECT_EQ(m.index, uint32_t{VNE_INDEX});
    EXPECT_EQ(m.read, uint32_t{demo_record().vspeeds.Vne});
    EXPECT_EQ(m.expected, 150u);
    EXPECT_EQ(names(operations::mismatched_settings(forgot.verification)), std::vector<std::string>{"vne"});
    EXPECT_EQ(forgot.sent, (std::vector<uint32_t>{3, 6, 8}));

    // The unit does not confirm erasing its settings area. Last: the refusal that follows the
    // erase report stays queued for whoever reads next.
    unit->load_settings(demo_record());
    unit->clear_log();
    unit->inject(fault(FaultKind::Nack, GetParam().save_id));
    const operations::Application unerased = operations::apply_settings(&comms, before, v);
    EXPECT_EQ(unerased.step, ApplyStep::Commit);
    EXPECT_EQ(unerased.commit.step, CommitStep::Erase);
    EXPECT_EQ(unit->stored_settings().vspeeds.Vne, demo_record().vspeeds.Vne);
    EXPECT_EQ(indices(GetParam().read_id), (std::vector<uint32_t>{254, 255}));
}

TEST_P(SettingsOps, ChecksumOnlyRecommit)
{
    // Every value is what the file asks for, but the unit's checksum does not match its record:
    // the record is committed again and nothing is sent.
    Settings_t stale = demo_record();
    stale.crc32 ^= 0x10;
    attach();
    unit->load_settings(stale);
    const operations::RecordRead before = read();
    ASSERT_TRUE(before.ok());
    ASSERT_FALSE(before.checksum_ok);

    unit->clear_log();
    const operations::Application a = operations::apply_settings(&comms, before, values({{"vne", {160}}}));
    ASSERT_EQ(a.step, ApplyStep::Done);
    EXPECT_TRUE(a.plan.changes.empty());
    EXPECT_TRUE(a.plan.commit_needed);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(save_frames(), std::vector<uint32_t>{demo_record().crc32});
    EXPECT_EQ(unit->stored_settings().crc32, demo_record().crc32);

    // Read again, it verifies, and there is nothing left to do.
    const operations::RecordRead after = read();
    EXPECT_TRUE(after.checksum_ok);
    EXPECT_EQ(operations::apply_settings(&comms, after, values({{"vne", {160}}})).step, ApplyStep::NothingToDo);
}

// --- verifying ---------------------------------------------------------------------------------

TEST_P(SettingsOps, VerifyComparesEveryValueAndTheChecksum)
{
    attach();
    const Settings_t held = unit->working_settings();
    const operations::Verification good = operations::verify_settings(&comms, held, held.crc32);
    EXPECT_TRUE(good.ok());
    EXPECT_TRUE(good.mismatches.empty());
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        expected.push_back(i);
    }
    expected.push_back(SETTINGS_CHECKSUM_INDEX);
    EXPECT_EQ(indices(GetParam().read_id), expected);

    // Several settings off, the registration in its middle word: all named, in index order.
    Settings_t other = held;
    set(other, EMITTER_CAT_INDEX, 5);
    set(other, REGISTRATION_2_INDEX, 0x34360000);
    set(other, VNE_INDEX, 150);
    const operations::Verification values_off = operations::verify_settings(&comms, other, held.crc32);
    EXPECT_EQ(values_off.step, VerifyStep::Values);
    ASSERT_EQ(values_off.mismatches.size(), 3u);
    EXPECT_EQ(values_off.mismatches[1].index, uint32_t{REGISTRATION_2_INDEX});
    EXPECT_EQ(values_off.mismatches[1].read, 0x34350000u);
    EXPECT_EQ(values_off.mismatches[1].expected, 0x34360000u);
    EXPECT_EQ(names(operations::mismatched_settings(values_off)),
              (std::vector<std::string>{"vne", "registration", "emitter_category"}));

    const operations::Verification checksum_off = operations::verify_settings(&comms, held, held.crc32 + 1);
    EXPECT_EQ(checksum_off.step, VerifyStep::Checksum);
    EXPECT_EQ(checksum_off.stored_checksum, held.crc32);
    EXPECT_EQ(checksum_off.expected_checksum, held.crc32 + 1);
    EXPECT_TRUE(operations::mismatched_settings(checksum_off).empty());

    EXPECT_EQ(operations::verify_settings(nullptr, held, 0).step, VerifyStep::NotConnected);
}

// The read-back's own failures: each costs a value time-out, and they take the same path in every
// generation.
TEST(SettingsOpsVerify, UnansweredReadBack)
{
    auto unit = support::plug_unit();
    unit->load_settings(demo_record());
    CommsManager comms;
    ASSERT_TRUE(operations::connect_unit(&comms).ok());
    const Settings_t held = unit->working_settings();

    unit->inject(fault(FaultKind::Ignore, 0x370, 9));
    const operations::Verification value = operations::verify_settings(&comms, held, held.crc32);
    EXPECT_EQ(value.step, VerifyStep::ReadValue);
    EXPECT_EQ(value.failed_index, 9u);

    unit->inject(fault(FaultKind::Ignore, 0x370, SETTINGS_LAST_INDEX));
    EXPECT_EQ(operations::verify_settings(&comms, held, held.crc32).step, VerifyStep::ReadChecksum);
    sim::unplug_all();
}

// --- facts for a settings file -----------------------------------------------------------------

TEST_P(SettingsOps, BackupRecordsWhatTheUnitReported)
{
    unit = support::plug_unit(GetParam().config);
    unit->load_settings(demo_record());
    const operations::Connection c = operations::connect_unit(&comms);
    ASSERT_TRUE(c.ok());
    const operations::RecordRead r = read();
    ASSERT_TRUE(r.ok());

    const std::string text = settings_file::write_document(operations::backup_of(r, c.unit));
    const nlohmann::json j = nlohmann::json::parse(text);
    EXPECT_EQ(j["unit"]["serial"], "0x00C0FFEE");
    if (GetParam().config.generation == sim::Generation::Legacy) {
        // Not a made-up 0.0.0: the unit did not say.
        ASSERT_TRUE(j["unit"].contains("firmware")) << j;
        EXPECT_TRUE(j["unit"]["firmware"].is_null()) << j;
        EXPECT_FALSE(j["unit"].contains("rc")) << j;
    } else {
        EXPECT_EQ(j["unit"]["firmware"], GetParam().config.version.patch == 12 ? "0.2.12" : "0.2.11");
        EXPECT_EQ(j["unit"]["rc"], 0);
    }
    EXPECT_EQ(j["record"]["version"], 1);
    EXPECT_EQ(j["record"]["num_elements"], 31);
    EXPECT_EQ(j["record"]["checksum"], settings_file::hex32(demo_record().crc32));

    // The file reads back: the unit block as written, every word of the record.
    settings_file::Document doc;
    std::string error;
    ASSERT_TRUE(settings_file::read_document(text, &doc, &error)) << error;
    ASSERT_TRUE(doc.unit.has_value());
    EXPECT_EQ(doc.unit->serial, 0x00C0FFEEu);
    EXPECT_EQ(doc.unit->firmware.has_value(), c.unit.version_reported);
    ASSERT_TRUE(doc.record.has_value());
    EXPECT_EQ(doc.record->checksum, demo_record().crc32);
    EXPECT_EQ(doc.settings.count(), settings_file::all_settings().size());
    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        EXPECT_EQ(doc.settings.word[i], word(demo_record(), i)) << "index " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, SettingsOps, ::testing::ValuesIn(kGenerations),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the files of an upload --------------------------------------------------------------------

firmware_header_t header(uint32_t total_size, uint32_t encrypted_size)
{
    firmware_header_t h{};
    h.magic = 0x0BADF00D;
    h.total_size = total_size;
    h.encrypted_size = encrypted_size;
    return h;
}

TEST(UploadFiles, FirmwareImageJudgedBeforeAnythingIsSent)
{
    support::TempDir dir;
    const std::string good = dir.write("good.bin", support::firmware_image(header(3000, 3000), support::pattern(3000)));
    const operations::ImageInspection ok = operations::inspect_firmware_image(good);
    EXPECT_TRUE(ok.readable) << ok.error;
    EXPECT_EQ(ok.size, 3064u);
    EXPECT_TRUE(ok.check.acceptable());
    EXPECT_EQ(ok.refusal, "");

    struct Row {
        std::string file;
        const char* refusal;
    };
    const Row rows[] = {
        {dir.write("tiny.bin", {1, 2, 3}), "the file holds 3 bytes, fewer than the 64-byte firmware header"},
        {dir.write("header-only.bin", support::firmware_image(header(3000, 3000), {})),
         "the file holds 0 bytes after the header, but its header announces 3000"},
        {dir.write("short.bin", support::firmware_image(header(3000, 3000), support::pattern(2999))),
         "the file holds 2999 bytes after the header, but its header announces 3000"},
        {dir.write("large.bin", support::firmware_image(header(64 * 65536 + 1, 100), support::pattern(100))),
         "the image needs 65 blocks, but a firmware bank has 64"},
    };
    for (const Row& row : rows) {
        const operations::ImageInspection i = operations::inspect_firmware_image(row.file);
        EXPECT_TRUE(i.readable) << row.file;
        EXPECT_FALSE(i.check.acceptable()) << row.file;
        EXPECT_EQ(i.refusal, row.refusal) << row.file;
    }

    for (const std::string& unreadable : {(dir.path() / "missing.bin").string(), dir.path().string()}) {
        const operations::ImageInspection i = operations::inspect_firmware_image(unreadable);
        EXPECT_FALSE(i.readable) << unreadable;
        EXPECT_FALSE(i.error.empty()) << unreadable;
        EXPECT_FALSE(i.check.acceptable()) << unreadable;
    }
    EXPECT_EQ(operations::inspect_firmware_image((dir.path() / "missing.bin").string()).error,
              "cannot open: No such file or directory");
}

TEST(UploadFiles, AirportDatabaseJudgedBeforeAnythingIsSent)
{
    support::TempDir dir;
    const operations::DatabaseInspection empty = operations::inspect_airport_database(dir.write("empty.db", {}));
    EXPECT_TRUE(empty.readable);
    EXPECT_EQ(empty.refusal, "the file is empty");

    // Sparse files: the size is what is judged.
    const auto capacity = static_cast<long>(kAirportDbCapacity);
    const operations::DatabaseInspection full =
        operations::inspect_airport_database(dir.write("full.db", {'A'}, capacity));
    EXPECT_TRUE(full.readable) << full.error;
    EXPECT_EQ(full.size, kAirportDbCapacity);
    EXPECT_EQ(full.refusal, "");
    const operations::DatabaseInspection over =
        operations::inspect_airport_database(dir.write("over.db", {'A'}, capacity + 1));
    EXPECT_EQ(over.refusal, std::to_string(kAirportDbCapacity + 1) +
                                " bytes is more than the airport database region holds (" +
                                std::to_string(kAirportDbCapacity) + " bytes)");

    const operations::DatabaseInspection missing =
        operations::inspect_airport_database((dir.path() / "missing.db").string());
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.error, "cannot open: No such file or directory");

    // A directory opens like a file on Linux, and some file systems give it a size: it is no
    // database all the same.
    const operations::DatabaseInspection directory = operations::inspect_airport_database(dir.path().string());
    EXPECT_FALSE(directory.readable) << directory.size;
    EXPECT_FALSE(directory.error.empty());
}

} // namespace
