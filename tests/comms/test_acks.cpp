// Both generations of the general and the flash acknowledgement: outcomes, printed reasons,
// frames passed over, and the bounds on a wait.
#include "link_fixture.h"

namespace {

using namespace linktest;
using Acks = Link;

struct Case {
    sim::Fault fault; // NoReply with times 0: none
    int result;
    Lines lines;
};

const sim::Fault kNone = fault(FaultKind::NoReply, 0, 0);

TEST_F(Acks, GeneralForms)
{
    const std::vector<Case> compact = {
        {kNone, 0, {}},
        {fault(FaultKind::UnrelatedBefore, 3), 0, {}},
        {fault(FaultKind::Nack), -1, {"NACK received for command CAN ID 0x390."}},
        {fault(FaultKind::WrongAckId, 0x10391),
         -1,
         {"ACK validation failed: payload can_ID mismatch (expected 0x390, got 0x391)"}},
        {fault(FaultKind::BadLengthCode, 6),
         -1,
         {"ACK validation failed: msg_len mismatch (expected CAN_4_BYTES, got 0x06)"}},
        {fault(FaultKind::ReadError), -1, {"Error reading ACK from device."}},
    };
    const std::vector<Case> legacy = {
        {kNone, 0, {}},
        {fault(FaultKind::UnrelatedBefore, 2), 0, {}},
        {fault(FaultKind::WrongAckId, 0x379),
         -1,
         {"ACK validation failed: data can_ID mismatch (expected 0x00000378, got 0x00000379)"}},
        {fault(FaultKind::BadLengthCode, 4),
         -1,
         {"ACK validation failed: msg_len mismatch (expected CAN_6_BYTES, got 0x04)"}},
        {fault(FaultKind::ShortReport, 12),
         -1, // the report ends before the 0x15
         {"ACK validation failed: data[4-5] mismatch (expected 0xEF 0x15, got 0xEF 0x00)"}},
        {fault(FaultKind::ReadError), -1, {"Error reading ACK from device."}},
    };
    for (const auto& [cfg, set_id, cases] :
         {std::tuple{unit_at(0, 2, 12), 0x390u, compact}, std::tuple{unit_at(0, 2, 11), 0x378u, legacy}}) {
        for (const Case& c : cases) {
            attach(cfg);
            unit->inject(c.fault);
            int result = 1;
            EXPECT_EQ(printed([&] { result = set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 150); }), c.lines);
            EXPECT_EQ(result, c.result) << c.lines.size();
            EXPECT_EQ(ids(Direction::ToUnit), std::vector<uint32_t>{set_id});
        }
    }
}

TEST_F(Acks, GeneralFormsPassOverOtherFrames)
{
    attach(unit_at(0, 2, 12));
    unit->inject(fault(FaultKind::UnrelatedBefore, 2));
    send(frame(CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 150}));
    EXPECT_TRUE(wait_for_ack(&comms, 0x10390)); // only the low 16 bits are compared
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{CANMSG_HEARTBEAT, CANMSG_HEARTBEAT, CANMSG_ACK}));

    // Legacy: a NACK frame does not decide the wait; the acknowledgement behind it does.
    attach(unit_at(0, 2, 11));
    unit->inject(fault(FaultKind::Nack));
    send(frame(LEGACY_CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 150}));
    send(frame(LEGACY_CANMSG_SET_USER_SETTING, CAN_5_BYTES, {VNE_INDEX, 151}));
    EXPECT_TRUE(wait_for_ack(&comms, LEGACY_CANMSG_SET_USER_SETTING));
    EXPECT_EQ(ids(Direction::FromUnit), (std::vector<uint32_t>{LEGACY_CANMSG_NACK, LEGACY_CANMSG_ACK}));
}

TEST_F(Acks, SilentUnit)
{
    EXPECT_TRUE(printed([&] {
                    EXPECT_FALSE(wait_for_ack(&comms, 0x390)); // not connected
                    EXPECT_FALSE(wait_for_ack(nullptr, 0x390));
                    EXPECT_FALSE(wait_for_mx25_ack(&comms, nullptr, nullptr));
                    EXPECT_FALSE(wait_for_mx25_ack(nullptr, nullptr, nullptr));
                }).empty());
    attach(unit_at(0, 2, 12));
    unit->inject(fault(FaultKind::NoReply));
    const auto t0 = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(set_value(&comms, SETTINGS_COMMS, VNE_INDEX, 150), -1); }),
              Lines{"No ACK received from device (timeout or no data)."});
    EXPECT_GE(ms_since(t0), 1000);
}

// A unit that never stops sending unrelated frames cannot hold a wait beyond its deadline (3 s each).
TEST_F(Acks, ChatteringUnit)
{
    for (const bool flash : {false, true}) {
        attach(unit_at(0, 2, flash ? 11 : 12));
        unit->set_chatter(true);
        const auto t0 = Clock::now();
        const Lines lines = printed(
            [&] { EXPECT_FALSE(flash ? wait_for_mx25_ack(&comms, nullptr, nullptr) : wait_for_ack(&comms, 0x390)); });
        EXPECT_GE(ms_since(t0), kAckWaitDeadlineMs);
        EXPECT_EQ(lines, Lines{flash ? "wait_for_mx25_ack: No response received (timeout or no data)."
                                     : "No ACK received from device (timeout or no data)."});
    }
}

TEST_F(Acks, FlashForms)
{
    struct FlashCase {
        sim::Fault fault;
        bool ok;
        uint8_t op;       // what the caller sees afterwards; 0x11 untouched
        uint32_t address; // 0x22222222 untouched
        Lines lines;
    };
    const uint32_t a = 0x123456, untouched = 0x22222222;
    const std::vector<FlashCase> unified = {
        {kNone, true, OP_SETADDR, a, {}},
        {fault(FaultKind::Nack), false, OP_SETADDR, a, {"wait_for_mx25_ack: MX25 NACK (op=0xA1)"}},
        {fault(FaultKind::WrongOp, OP_WRITE), true, OP_WRITE, a, {}}, // the caller compares
        {fault(FaultKind::ReadError),
         false,
         0x11,
         untouched,
         {"wait_for_mx25_ack: Error reading response from device."}},
    };
    const std::vector<FlashCase> legacy = {
        {kNone, true, OP_SETADDR, a, {}},
        {fault(FaultKind::UnrelatedBefore, 2), true, OP_SETADDR, a, {}},
        {fault(FaultKind::Nack), false, 0x11, untouched, {"wait_for_mx25_ack: Operation failed (MX25 NACK)"}},
    };
    for (const auto& [cfg, set_addr_id, cases] :
         {std::tuple{unit_at(0, 2, 12), 0x440u, unified}, std::tuple{unit_at(0, 2, 11), 0x417u, legacy}}) {
        for (const FlashCase& c : cases) {
            attach(cfg);
            unit->inject(c.fault);
            send(frame(set_addr_id, CAN_4_BYTES, {0x56, 0x34, 0x12, 0x00}));
            uint8_t op = 0x11;
            uint32_t address = untouched;
            bool ok = !c.ok;
            EXPECT_EQ(printed([&] { ok = wait_for_mx25_ack(&comms, &op, &address); }), c.lines);
            EXPECT_EQ(ok, c.ok) << set_addr_id;
            EXPECT_EQ(op, c.op) << set_addr_id;
            EXPECT_EQ(address, c.address) << set_addr_id;
        }
    }
}

// Flash acknowledgements whose length code does not fit the form are passed over, not taken.
TEST_F(Acks, FlashFormsPassOverMalformedFrames)
{
    for (const auto& [cfg, set_addr_id, bad_code] :
         {std::tuple{unit_at(0, 2, 12), 0x440u, 5u}, std::tuple{unit_at(0, 2, 11), 0x417u, 4u},
          std::tuple{unit_at(0, 2, 11), 0x417u, 0x10u}}) {
        attach(cfg);
        unit->inject(fault(FaultKind::BadLengthCode, bad_code));
        send(frame(set_addr_id, CAN_4_BYTES, {0x00, 0x10}));
        send(frame(set_addr_id, CAN_4_BYTES, {0x00, 0x20}));
        uint8_t op = 0;
        uint32_t address = 0;
        EXPECT_TRUE(wait_for_mx25_ack(&comms, &op, &address)) << bad_code;
        EXPECT_EQ(op, OP_SETADDR) << bad_code;
        EXPECT_EQ(address, 0x2000u) << bad_code;
    }
}

} // namespace
