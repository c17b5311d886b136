// Reading, committing, verifying and applying the unit's settings record.
#include <thread>

#include "efis_shared/get_set.h"
#include "operations/operations.h"

namespace operations {

namespace {

constexpr uint32_t kHeaderOrder[] = {SETTINGS_CHECKSUM_INDEX, SETTINGS_MAGIC_NUM, SETTINGS_VERSION,
                                     SETTINGS_NUM_ELEMENTS};

bool read_word(CommsManager* comms, uint32_t index, uint32_t* value)
{
    return read_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(index), value);
}

uint32_t word_of(const Settings_t& record, uint32_t index)
{
    return settings_get_value(&record, static_cast<settings_struct_index>(index));
}

void pause(std::chrono::milliseconds ms)
{
    if (ms.count() > 0) {
        std::this_thread::sleep_for(ms);
    }
}

} // namespace

bool RecordRead::header_read(uint32_t index) const
{
    if (step != ReadStep::Header) {
        return step != ReadStep::NotConnected;
    }
    for (uint32_t h : kHeaderOrder) {
        if (h == failed_index) {
            return false;
        }
        if (h == index) {
            return true;
        }
    }
    return false;
}

RecordRead read_settings(CommsManager* comms, const ReadOptions& options)
{
    RecordRead r;
    if (comms == nullptr || !comms->isConnected()) {
        r.step = ReadStep::NotConnected;
        return r;
    }
    // The whole record in one hold: no other exchange may come between its words.
    LinkHold hold = comms->hold();

    for (uint32_t index : kHeaderOrder) {
        uint32_t v = 0;
        if (!read_word(comms, index, &v)) {
            r.step = ReadStep::Header;
            r.failed_index = index;
            return r;
        }
        switch (index) {
        case SETTINGS_CHECKSUM_INDEX:
            r.record.crc32 = v;
            r.unit_checksum = v;
            break;
        case SETTINGS_MAGIC_NUM:
            r.record.magic = v;
            break;
        case SETTINGS_VERSION:
            r.record.version = v;
            break;
        default:
            r.record.num_elements = v;
            break;
        }
    }

    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t v = 0;
        if (!read_word(comms, i, &v)) {
            if (options.unread == UnreadValues::Stop) {
                r.step = ReadStep::Value;
                r.failed_index = i;
                return r;
            }
            v = 0;
            r.unread.push_back(i);
        }
        if (!settings_set_value(&r.record, static_cast<settings_struct_index>(i), &v)) {
            r.step = ReadStep::Process;
            r.failed_index = i;
            return r;
        }
        pause(options.pause_after_value);
    }
    r.checksum_ok = settings_CalcCRC(&r.record) == r.unit_checksum;
    return r;
}

Commit commit_settings(CommsManager* comms, Settings_t* record)
{
    Commit c;
    if (comms == nullptr || !comms->isConnected()) {
        c.step = CommitStep::NotConnected;
        return c;
    }
    LinkHold hold = comms->hold();

    // The record's version and element count as the unit reports them now, so that the checksum
    // covers what the unit will checksum.
    uint32_t v = 0;
    if (!read_word(comms, SETTINGS_VERSION, &v)) {
        c.step = CommitStep::ReadVersion;
        return c;
    }
    record->version = v;
    if (!read_word(comms, SETTINGS_NUM_ELEMENTS, &v)) {
        c.step = CommitStep::ReadNumElements;
        return c;
    }
    record->num_elements = v;
    record->magic = kSettingsMagic;
    record->crc32 = 0;
    c.checksum = settings_CalcCRC(record);

    StoreSettingsStep step = StoreSettingsStep::None;
    if (store_settings(comms, c.checksum, &step) != 0) {
        switch (step) {
        case StoreSettingsStep::NotConnected:
            c.step = CommitStep::NotConnected;
            break;
        case StoreSettingsStep::Send:
            c.step = CommitStep::Send;
            break;
        case StoreSettingsStep::Erase:
            c.step = CommitStep::Erase;
            break;
        case StoreSettingsStep::Confirm:
        case StoreSettingsStep::None:
            c.step = CommitStep::Confirm;
            break;
        }
    }
    return c;
}

Verification verify_settings(CommsManager* comms, const Settings_t& expected, uint32_t checksum)
{
    Verification v;
    v.expected_checksum = checksum;
    if (comms == nullptr || !comms->isConnected()) {
        v.step = VerifyStep::NotConnected;
        return v;
    }
    LinkHold hold = comms->hold();

    for (uint32_t i = 0; i < SETTINGS_LAST_INDEX; ++i) {
        uint32_t got = 0;
        if (!read_word(comms, i, &got)) {
            v.step = VerifyStep::ReadValue;
            v.failed_index = i;
            return v;
        }
        const uint32_t want = word_of(expected, i);
        if (got != want) {
            v.mismatches.push_back({i, got, want});
        }
    }
    if (!read_word(comms, SETTINGS_CHECKSUM_INDEX, &v.stored_checksum)) {
        v.step = VerifyStep::ReadChecksum;
        return v;
    }
    if (!v.mismatches.empty()) {
        v.step = VerifyStep::Values;
    } else if (v.stored_checksum != checksum) {
        v.step = VerifyStep::Checksum;
    }
    return v;
}

std::vector<const settings_file::Setting*> mismatched_settings(const Verification& v)
{
    std::vector<const settings_file::Setting*> out;
    for (const settings_file::Setting& s : settings_file::all_settings()) {
        for (const Mismatch& m : v.mismatches) {
            if (m.index >= s.first && m.index < s.first + s.count) {
                out.push_back(&s);
                break;
            }
        }
    }
    return out;
}

SendOutcome send_values(CommsManager* comms, const Settings_t& record, std::span<const uint32_t> indices,
                        RefusedValues refused, std::chrono::milliseconds pause_after_value,
                        const ValueObserver& observer)
{
    SendOutcome out;
    if (comms == nullptr || !comms->isConnected()) {
        out.connected = false;
        return out;
    }
    LinkHold hold = comms->hold();
    for (const uint32_t index : indices) {
        if (observer && !observer(index, out.sent.size() + out.refused.size(), indices.size())) {
            out.stopped = true;
            return out;
        }
        if (set_value(comms, SETTINGS_COMMS, static_cast<uint8_t>(index), word_of(record, index)) != 0) {
            out.refused.push_back(index);
            if (refused == RefusedValues::Stop) {
                return out;
            }
        } else {
            out.sent.push_back(index);
        }
        pause(pause_after_value);
    }
    return out;
}

std::vector<uint32_t> ApplyPlan::indices() const
{
    std::vector<uint32_t> out;
    for (const settings_file::Setting* s : changes) {
        for (uint32_t i = s->first; i < s->first + s->count; ++i) {
            out.push_back(i);
        }
    }
    return out;
}

ApplyPlan plan_apply(const RecordRead& before, const settings_file::Values& values)
{
    ApplyPlan plan;
    plan.intended = before.record;
    settings_file::apply(values, &plan.intended);
    plan.changes = settings_file::differences(values, before.record);
    plan.commit_needed = !plan.changes.empty() || !before.checksum_ok;
    return plan;
}

Application apply_settings(CommsManager* comms, const RecordRead& before, const settings_file::Values& values,
                           const ValueObserver& observer)
{
    Application a;
    a.plan = plan_apply(before, values);
    if (!a.plan.commit_needed) {
        a.step = ApplyStep::NothingToDo;
        return a;
    }
    if (comms == nullptr || !comms->isConnected()) {
        a.step = ApplyStep::NotConnected;
        return a;
    }
    LinkHold hold = comms->hold();

    const std::vector<uint32_t> indices = a.plan.indices();
    const SendOutcome sent = send_values(comms, a.plan.intended, indices, RefusedValues::Stop, {}, observer);
    a.sent = sent.sent;
    if (!sent.connected) {
        a.step = ApplyStep::NotConnected;
        return a;
    }
    if (sent.stopped) {
        a.step = ApplyStep::Stopped;
        a.stopped_index = indices[a.sent.size()];
        return a;
    }
    if (!sent.refused.empty()) {
        a.step = ApplyStep::Send;
        a.refused_index = sent.refused.front();
        return a;
    }

    a.commit = commit_settings(comms, &a.plan.intended);
    if (!a.commit.ok()) {
        a.step = ApplyStep::Commit;
        return a;
    }
    a.verification = verify_settings(comms, a.plan.intended, a.commit.checksum);
    a.step = a.verification.ok() ? ApplyStep::Done : ApplyStep::Verify;
    return a;
}

} // namespace operations
