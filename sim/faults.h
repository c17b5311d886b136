// Fault injection: the faults a test has set, and what each does to the request it strikes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/virtual_unit.h"

namespace sim::detail {

// What the faults that struck one request do to it.
struct Effects {
    bool ignore = false;
    bool nack = false;
    bool vanish = false;
    bool read_error = false;
    bool ack_no_store = false;
    bool save_unchecked = false;
    std::optional<uint8_t> wrong_op;
    std::optional<uint32_t> wrong_address;
    std::optional<uint32_t> wrong_ack_id;
    uint32_t unrelated = 0;
    std::chrono::steady_clock::duration delay{};
    static constexpr int kMaxReplies = 4;
    bool drop[kMaxReplies] = {};
    int short_len[kMaxReplies] = {-1, -1, -1, -1};
    int bad_code[kMaxReplies] = {-1, -1, -1, -1};
};

class Faults {
public:
    void add(const Fault& fault) { active_.push_back({fault, 0, 0}); }
    void clear() { active_.clear(); }
    // True when a WriteError fault strikes the write of a request with this identifier. Such a
    // write never reaches the unit, so it is not counted by the other kinds.
    bool write_error_strikes(uint32_t id);
    // What every other kind of fault due for a request with this identifier does to it.
    Effects strike(uint32_t id);

private:
    struct Active {
        Fault fault;
        int seen = 0;
        int hits = 0;
    };
    static bool due(Active& a);
    std::vector<Active> active_;
};

} // namespace sim::detail
