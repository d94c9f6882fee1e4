// A fake BDM pod behind the pod driver table: a 64 KB target map plus the BDM register
// block, a log of every call in order, and failures on demand. The table's slots are plain
// functions, so they act on the one FakePod alive at the time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "pod/pod_table.h"

namespace zelv::test {

class FakePod {
public:
    // Becomes the current pod; memory and the BDM block read 0x00. The pod that was current
    // before becomes current again when this one goes.
    FakePod();
    ~FakePod();
    FakePod(const FakePod&) = delete;
    FakePod& operator=(const FakePod&) = delete;

    // The table whose slots act on the current pod (all 25 filled).
    [[nodiscard]] static const BdmPod& table();

    std::array<uint8_t, 0x10000>& memory() { return memory_; }
    // BDMSTS as READ_BD_BYTE at 0xFF01 returns it.
    void set_bdm_status(uint8_t value) { bdm_status_ = value; }

    // Every call as text, e.g. "reset_special", "read_bd_byte FF01", "write_byte 0100 4B".
    [[nodiscard]] const std::vector<std::string>& calls() const { return calls_; }
    // Forgets the calls so far.
    void clear_calls() { calls_.clear(); }
    // The calls whose text starts with prefix.
    [[nodiscard]] std::vector<std::string> calls_of(const std::string& prefix) const;

    // The first call whose text starts with prefix fails: "fake pod failure", error.
    void fail(const std::string& prefix, int error);

    // Writes to these addresses are logged but leave memory as the test set it (status
    // registers whose value the test chooses).
    void hold(uint16_t address) { held_.insert(address); }
    [[nodiscard]] bool held(uint16_t address) const { return held_.count(address) != 0; }

    // Runs after every successful go: what the code started there does (a RAM agent).
    std::function<void(FakePod&)> on_go;

    [[nodiscard]] int opens() const { return opens_; }
    [[nodiscard]] int closes() const { return closes_; }
    void set_close_result(int result) { close_result_ = result; }

    // Used by the table's slots.
    [[nodiscard]] int record(const std::string& call);
    uint8_t bdm_status_ = 0;
    std::array<uint8_t, 0x10000> memory_{};
    int opens_ = 0;
    int closes_ = 0;
    int close_result_ = 0;

private:
    FakePod* previous_;
    std::set<uint16_t> held_;
    std::vector<std::string> calls_;
    std::string fail_prefix_;
    int fail_error_ = 0;
};

}  // namespace zelv::test
