// Both generations of the general and the flash acknowledgement: outcomes, printed reasons,
// frames passed over, and the bounds on a wait.
#include "link_fixture.h"

namespace {

using namespace linktest;
using sim::Direction;
using sim::FaultKind;
using Lines = std::vector<std::string>;

class Acks : public Link {
protected:
    // A fresh unit per case, so that no reply of an earlier case is still queued.
    void fresh(const sim::UnitConfig& cfg)
    {
        sim::unplug_all();
        attach_at(cfg);
    }
};

struct GeneralCase {
    const char* name;
    std::vector<sim::Fault> faults;
    int result;
    Lines lines;
};

TEST_F(Acks, GeneralForms)
{
    const uint32_t any = sim::kAnyId;
    const GeneralCase compact[] = {
        {"acknowledged", {}, 0, {}},
        {"unrelated frames first", {fault(FaultKind::UnrelatedBefore, any, 3)}, 0, {}},
        {"refused", {fault(FaultKind::Nack, any)}, -1, {"NACK received for command CAN ID 0x390."}},
        {"names another command",
         {fault(FaultKind::WrongAckId, any, 0x10391)},
         -1,
         {"ACK validation failed: payload can_ID mismatch (expected 0x390, got 0x391)"}},
        {"wrong length",
         {fault(FaultKind::BadLengthCode, any, CAN_6_BYTES)},
         -1,
         {"ACK validation failed: msg_len mismatch (expected CAN_4_BYTES, got 0x06)"}},
        {"read error", {fault(FaultKind::ReadError, any)}, -1, {"Error reading ACK from device."}},
    };
    const GeneralCase legacy[] = {
        {"acknowledged", {}, 0, {}},
        {"unrelated frames first", {fault(FaultKind::UnrelatedBefore, any, 2)}, 0, {}},
        {"names another command",
         {fault(FaultKind::WrongAckId, any, 0x379)},
         -1,
         {"ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)"}},
        {"wrong length",
         {fault(FaultKind::BadLengthCode, any, CAN_4_BYTES)},
         -1,
         {"ACK validation failed: msg_len mismatch (expected CAN_6_BYTES, got 0x04)"}},
        {"marker cut short",
         {fault(FaultKind::ShortReport, any, 12)},
         -1,
         {"ACK validation failed: data[4-5] mismatch (expected 0xEF 0x15, got 0xEF 0x00)"}},
        {"read error", {fault(FaultKind::ReadError, any)}, -1, {"Error reading ACK from device."}},
    };
    struct Form {
        sim::UnitConfig cfg;
        uint32_t set_id;
        const GeneralCase* cases;
        size_t count;
    };
    const Form forms[] = {{current_unit(0, 2, 12), 0x390, compact, std::size(compact)},
                          {current_unit(0, 2, 11), 0x378, legacy, std::size(legacy)}};
    for (const Form& form : forms) {
        for (size_t i = 0; i < form.count; ++i) {
            const GeneralCase& c = form.cases[i];
            fresh(form.cfg);
            for (const auto& f : c.faults) {
                unit->inject(f);
            }
            int result = 1;
            EXPECT_EQ(printed([&] { result = set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 150); }), c.lines) << c.name;
            EXPECT_EQ(result, c.result) << c.name;
            EXPECT_EQ(ids(Direction::ToUnit), std::vector<uint32_t>{form.set_id}) << c.name;
        }
    }
    // The unrelated frames really were read and passed over.
    fresh(current_unit(0, 2, 12));
    unit->inject(fault(FaultKind::UnrelatedBefore, any, 2));
    EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 150), 0);
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{CANMSG_HEARTBEAT, CANMSG_HEARTBEAT, CANMSG_ACK}));
}

TEST_F(Acks, GeneralFormsPassOverOtherFrames)
{
    // Compact: only the low 16 bits of the expected identifier are compared.
    attach_at(current_unit(0, 2, 12));
    send(frame(CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 150}));
    EXPECT_TRUE(wait_for_ack(&comms, 0x10390));

    // Legacy: a NACK frame does not decide the wait; the acknowledgement behind it does.
    fresh(current_unit(0, 2, 11));
    unit->inject(fault(FaultKind::Nack, LEGACY_CANMSG_SET_USER_SETTING));
    send(frame(LEGACY_CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 150}));
    send(frame(LEGACY_CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 151}));
    EXPECT_TRUE(wait_for_ack(&comms, LEGACY_CANMSG_SET_USER_SETTING));
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{LEGACY_CANMSG_NACK, LEGACY_CANMSG_ACK}));
}

TEST_F(Acks, NotConnected)
{
    EXPECT_TRUE(printed([&] {
                    EXPECT_FALSE(wait_for_ack(&comms, 0x390));
                    EXPECT_FALSE(wait_for_ack(nullptr, 0x390));
                    EXPECT_FALSE(wait_for_mx25_ack(&comms, nullptr, nullptr));
                    EXPECT_FALSE(wait_for_mx25_ack(nullptr, nullptr, nullptr));
                }).empty());
}

TEST_F(Acks, SilentUnit)
{
    attach_at(current_unit(0, 2, 12));
    unit->inject(fault(FaultKind::NoReply, sim::kAnyId));
    const auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 150), -1); }),
              Lines{"No ACK received from device (timeout or no data)."});
    EXPECT_GE(ms_since(t0), 1000);
}

// A unit that never stops sending unrelated frames cannot hold a wait beyond its deadline.
TEST_F(Acks, ChatteringUnitGeneral)
{
    attach_at(current_unit(0, 2, 12));
    unit->set_chatter(true);
    const auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_FALSE(wait_for_ack(&comms, CANMSG_SET_USER_SETTING)); }),
              Lines{"No ACK received from device (timeout or no data)."});
    EXPECT_GE(ms_since(t0), kAckWaitDeadlineMs);
}

TEST_F(Acks, ChatteringUnitFlash)
{
    attach_at(current_unit(0, 2, 11));
    unit->set_chatter(true);
    const auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_FALSE(wait_for_mx25_ack(&comms, nullptr, nullptr)); }),
              Lines{"wait_for_mx25_ack: No response received (timeout or no data)."});
    EXPECT_GE(ms_since(t0), kAckWaitDeadlineMs);
}

struct FlashCase {
    const char* name;
    std::vector<sim::Fault> faults;
    bool ok;
    uint8_t op;       // what the caller sees afterwards (0x11 = untouched)
    uint32_t address; // likewise (0x22222222 = untouched)
    Lines lines;
};

TEST_F(Acks, FlashForms)
{
    const uint32_t any = sim::kAnyId;
    const uint32_t addr = 0x00123456;
    const FlashCase unified[] = {
        {"acknowledged", {}, true, OP_SETADDR, addr, {}},
        {"refused", {fault(FaultKind::Nack, any)}, false, OP_SETADDR, addr, {"wait_for_mx25_ack: MX25 NACK (op=0xA1)"}},
        {"other op and address reported",
         {fault(FaultKind::WrongOp, any, OP_WRITE), fault(FaultKind::WrongAddress, any, 0x40)},
         true,
         OP_WRITE,
         0x40,
         {}},
        {"read error",
         {fault(FaultKind::ReadError, any)},
         false,
         0x11,
         0x22222222,
         {"wait_for_mx25_ack: Error reading response from device."}},
    };
    const FlashCase legacy[] = {
        {"acknowledged", {}, true, OP_SETADDR, addr, {}},
        {"refused",
         {fault(FaultKind::Nack, any)},
         false,
         0x11,
         0x22222222,
         {"wait_for_mx25_ack: Operation failed (MX25 NACK)"}},
        {"unrelated frames first", {fault(FaultKind::UnrelatedBefore, any, 2)}, true, OP_SETADDR, addr, {}},
    };
    struct Form {
        sim::UnitConfig cfg;
        uint32_t set_addr_id;
        const FlashCase* cases;
        size_t count;
    };
    const Form forms[] = {{current_unit(0, 2, 12), CANMSG_SET_ADDR_MX25, unified, std::size(unified)},
                          {current_unit(0, 2, 11), LEGACY_CANMSG_SET_ADDR_MX25, legacy, std::size(legacy)}};
    for (const Form& form : forms) {
        for (size_t i = 0; i < form.count; ++i) {
            const FlashCase& c = form.cases[i];
            fresh(form.cfg);
            for (const auto& f : c.faults) {
                unit->inject(f);
            }
            send(frame(form.set_addr_id, CAN_4_BYTES, {0x56, 0x34, 0x12, 0x00}));
            uint8_t op = 0x11;
            uint32_t address = 0x22222222;
            bool ok = !c.ok;
            EXPECT_EQ(printed([&] { ok = wait_for_mx25_ack(&comms, &op, &address); }), c.lines) << c.name;
            EXPECT_EQ(ok, c.ok) << c.name;
            EXPECT_EQ(op, c.op) << c.name;
            EXPECT_EQ(address, c.address) << c.name;
        }
    }
}

// Acknowledgements whose length code does not fit the form are passed over, not taken.
TEST_F(Acks, FlashFormsPassOverMalformedFrames)
{
    struct Case {
        sim::UnitConfig cfg;
        uint32_t set_addr_id;
        uint32_t bad_code;
    };
    const Case cases[] = {
        {current_unit(0, 2, 12), CANMSG_SET_ADDR_MX25, CAN_5_BYTES},
        {current_unit(0, 2, 11), LEGACY_CANMSG_SET_ADDR_MX25, CAN_4_BYTES},
        {current_unit(0, 2, 11), LEGACY_CANMSG_SET_ADDR_MX25, 0x10}, // no such code: carries nothing
    };
    for (const Case& c : cases) {
        fresh(c.cfg);
        unit->inject(fault(FaultKind::BadLengthCode, c.set_addr_id, c.bad_code));
        send(frame(c.set_addr_id, CAN_4_BYTES, {0x00, 0x10, 0x00, 0x00}));
        send(frame(c.set_addr_id, CAN_4_BYTES, {0x00, 0x20, 0x00, 0x00}));
        uint8_t op = 0;
        uint32_t address = 0;
        EXPECT_TRUE(wait_for_mx25_ack(&comms, &op, &address)) << c.bad_code;
        EXPECT_EQ(op, OP_SETADDR) << c.bad_code;
        EXPECT_EQ(address, 0x2000u) << c.bad_code;
    }
}

} // namespace
